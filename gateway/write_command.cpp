#include "gateway/write_command.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "gateway/poll/line_poller.h"

namespace vpisd::gateway {
namespace {

constexpr const char *kDemoted = "the PLC stopped answering and is demoted: not written";

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Text as the value it spells: true or false, an integer (decimal or 0x), a real number.
std::optional<TypedValue> FromText(std::string_view text) {
    text = Trimmed(text);
    if (text == "true" || text == "false")
        return TypedValue(text == "true");
    if (const std::optional<int64_t> integer = host::ParseNumber(text))
        return TypedValue(*integer);
    double real = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, real);
    // "nan" and "inf" spell no number a value can take.
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(real))
        return std::nullopt;
    return TypedValue(real);
}

std::optional<int64_t> Refused(std::string why, std::string &reason) {
    reason = std::move(why);
    return std::nullopt;
}

std::optional<int64_t> Scaled(double number, const host::ValueFormat &format,
                              const host::Scaling &scaling, std::string &reason) {
    int64_t raw = 0;
    if (!host::RawFromScaled(format, scaling, number, raw, reason))
        return std::nullopt;
    return raw;
}

// A write answered by the line: its outcome as every face words it.
WriteAnswer AnswerOf(const LineReply &reply) {
    const StatusWrite &row = host::RowFor(kStatusWrites, reply.status);
    return {row.outcome, reply.demoted ? kDemoted : row.reason, reply.status};
}

} // namespace

std::optional<int64_t> RawFromValue(const TypedValue &value, const host::ValueFormat &format,
                                    const host::Scaling &scaling, std::string &reason) {
    const bool bit = format.type == host::ValueType::Bit;
    if (const bool *boolean = std::get_if<bool>(&value)) {
        if (!bit)
            return Refused(Shown(value) + " is not a number", reason);
        return *boolean ? 1 : 0;
    }
    if (const int64_t *integer = std::get_if<int64_t>(&value))
        return Scaled(static_cast<double>(*integer), format, scaling, reason);
    if (const double *real = std::get_if<double>(&value)) {
        // Integer types round, as they do under scaling; a bit is 0 or 1, nothing between.
        if (bit && *real != std::trunc(*real))
            return Refused(Shown(value) + " is not a whole number", reason);
        return Scaled(*real, format, scaling, reason);
    }
    const std::string &text = std::get<std::string>(value);
    if (Trimmed(text).empty())
        return Refused("the value is empty", reason);
    const std::optional<TypedValue> spelled = FromText(text);
    if (!spelled)
        return Refused(Shown(value) + " is not a number", reason);
    return RawFromValue(*spelled, format, scaling, reason);
}

void SubmitWrite(LinePoller &poller, const WriteTarget &target, int64_t raw, Source source,
                 WriteAnswered answered) {
    // The poller reads a good write's PLC again itself.
    const Queued queued =
        poller.Submit(WriteRequest(target, raw, source),
                      [answered](const LineReply &reply) { answered(AnswerOf(reply)); });
    if (queued != Queued::Taken)
        answered({WriteOutcome::Refused, RefusalReason(queued),
                  queued == Queued::Full ? LineStatus::Busy : LineStatus::Cancelled});
}

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
