#include "tag_report.h"

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

} // namespace vpisd::cli
