#include "gateway/write_command.h"

#include <algorithm>

namespace vpisd::gateway {

const char *OutcomeWord(WriteOutcome outcome) {
    switch (outcome) {
    case WriteOutcome::Refused:
        return "refused";
    case WriteOutcome::NoAnswer:
        return "no_answer";
    case WriteOutcome::ReadOnly:
        return "read_only";
    case WriteOutcome::Ok:
        break;
    }
    return "ok";
}

bool PlcReadOnly(const Config &config, size_t line, const std::string &plc) {
    if (config.server.readOnly)
        return true;
    return std::any_of(config.units.begin(), config.units.end(), [&](const UnitConfig &unit) {
        return unit.readOnly && unit.line == line && unit.plc == plc;
    });
}

LineRequest WriteRequest(const WriteTarget &target, int64_t raw, Source source) {
    LineRequest request;
    request.source = source;
    request.plc = target.plc;
    request.first = target.first;
    if (target.format.type == host::ValueType::Bit) {
        request.op = LineOp::WriteBits;
        request.bits = {BitWrite{target.first, target.format.bit, raw != 0}};
    } else {
        request.op = LineOp::WriteRegisters;
        request.values.resize(host::InfoOf(target.format.type).words);
        host::EncodeValue(target.format, raw, request.values);
    }
    return request;
}

} // namespace vpisd::gateway
