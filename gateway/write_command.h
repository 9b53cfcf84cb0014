// A write to one value of a PLC as any front end asks for it, once the front end has found what
// its command names: the value made raw by one typed rule, authorized against the write rights
// of the moment, then submitted through the line's poller, which reads the PLC's groups again
// after a good write. Every face (MQTT /set, Sparkplug DCMD) takes this one path and keeps only
// its own name lookup and its answer. Nothing here knows a topic or a payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "gateway/config/config.h"
#include "gateway/lines/line_request.h"
#include "gateway/typed_value.h"
#include "host/line_status.h"
#include "host/scaling.h"
#include "host/value_codec.h"

namespace vpisd::gateway {

// What became of a write, in the words every face answers with.
enum class WriteOutcome : uint8_t { Ok, Refused, NoAnswer, ReadOnly };
constexpr size_t kWriteOutcomeCount = 4;

// "ok", "refused", "no_answer" or "read_only".
const char *OutcomeWord(WriteOutcome outcome);

struct StatusWrite {
    host::LineStatus status;
    WriteOutcome outcome;
    const char *reason; // why, in words a face publishes or logs; "" for none
};
// What a write's line status makes of it.
constexpr std::array<StatusWrite, host::kLineStatusCount> kStatusWrites = {{
    {host::LineStatus::Ok, WriteOutcome::Ok, ""},
    {host::LineStatus::Refused, WriteOutcome::Refused,
     "refused by the PLC, or the PLC is not one of this line"},
    {host::LineStatus::NoAnswer, WriteOutcome::NoAnswer,
     "the PLC's replies came late, garbled or not at all: the write may have been applied"},
    {host::LineStatus::LineDown, WriteOutcome::NoAnswer, ""},
    {host::LineStatus::Busy, WriteOutcome::Refused, "the line is busy or stopping"},
    {host::LineStatus::Cancelled, WriteOutcome::Refused, "the line is busy or stopping"},
}};
static_assert(host::CoversEveryStatus(kStatusWrites));

class LinePoller;

// What a command writes: a register, a 32-bit pair or one bit of a register of a PLC.
struct WriteTarget {
    std::string plc;          // as the driver matches it ("P2")
    uint16_t first = 0;       // SY/MAX register; of a bit, its register
    host::ValueFormat format; // type, word order, bit
    host::Scaling scaling;    // between the front end's units and the raw value
};

// A PLC is read-only when the gateway is, or when a read-only [[unit]] of `line` serves it.
bool PlcReadOnly(const Config &config, size_t line, const std::string &plc);

// The job that writes `raw` (already in the target's raw units): a bit by one masked bit write,
// never a read-modify-write of its register; a 32-bit value's two words in one write, in the
// target's word order.
LineRequest WriteRequest(const WriteTarget &target, int64_t raw, Source source);

// `value` in published units as the raw value a write of `format` sends (a float32's bits):
// converted back through `scaling` and checked against the format's range. A boolean for a bit
// only; an integer or a real number for any type (integer types round to the nearest, a bit
// takes 0 or 1 and no fraction); text when it holds true, false or a number (decimal, 0x
// hexadecimal, or with a fraction or exponent). nullopt with why in `reason` otherwise.
std::optional<int64_t> RawFromValue(const TypedValue &value, const host::ValueFormat &format,
                                    const host::Scaling &scaling, std::string &reason);

struct WriteAnswer {
    WriteOutcome outcome = WriteOutcome::Ok;
    std::string reason; // "" for none
    // The line's: Busy when the line's queue had no room, Cancelled when the line is restarting
    // (or stopping), for a face that words those its own way.
    LineStatus status = LineStatus::Ok;
};
using WriteAnswered = std::function<void(const WriteAnswer &)>;

// Writes `raw` to `target` by `source`'s share of the line that `poller` reads; after a good
// write the groups of the target's PLC are read again at once. `answered` is called exactly
// once: with the line's outcome, on the poller's thread (or, once the poller has stopped, on the
// line's or the stopping thread: a write cancelled by a reload is answered too), or at once on
// the caller's thread, Refused with RefusalReason, when the line's queue did not take it.
void SubmitWrite(LinePoller &poller, const WriteTarget &target, int64_t raw, Source source,
                 WriteAnswered answered);

} // namespace vpisd::gateway
