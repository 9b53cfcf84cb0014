// A write to one value of a PLC as any front end asks for it, once the front end has found what
// its command names: authorized against the write rights of the moment, then made into the one
// line job that carries it. Nothing here knows a topic or a payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/config/config.h"
#include "gateway/lines/line_request.h"
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

} // namespace vpisd::gateway
