#include "tag_report.h"

#include "exit_codes.h"
#include "vpisd/vpi.h"

namespace vpisd::cli {

TagReport MakeReport(const std::string &gas, const TagLayout &layout) {
    TagReport report;
    report.gas = UpperGas(gas);
    report.route = layout.kind == VPI_KIND_ROUTE;
    if (!report.route && layout.bit == kNoBit) {
        report.hexDigits = layout.kind == VPI_KIND_REGISTER_PAIR ? 8 : 4;
    }
    report.names = ValueNames(gas, layout);
    return report;
}

TagStatus StatusForResult(int32_t result) {
    if (result == VPI_OK)
        return TagStatus::Ok;
    return result == VPI_REFUSED ? TagStatus::Refused : TagStatus::NoAnswer;
}

int ExitCodeForStatus(TagStatus status) {
    switch (status) {
    case TagStatus::Ok:
        return kExitOk;
    case TagStatus::Refused:
    case TagStatus::BadGas:
        return kExitRefused;
    case TagStatus::NoAnswer:
    case TagStatus::DeviceGone:
        return kExitCommFailure;
    }
    return kExitCommFailure;
}

} // namespace vpisd::cli
