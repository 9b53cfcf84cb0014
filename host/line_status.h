// What became of one job on a line, in the words every front end derives its own answer from
// (a Modbus exception, an MQTT quality or write result, an exit code).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "vpisd/vpi.h"

namespace vpisd::host {

enum class LineStatus : uint8_t {
    Ok,
    Refused,   // the driver's result 1: a reply came but was refused (or the GAS was)
    NoAnswer,  // the driver's result 2: the PLC or the line stayed silent
    LineDown,  // the line's device is gone; it is being opened again
    Busy,      // the line's queue was full
    Cancelled, // the host stopped before the job's turn came
};
constexpr size_t kLineStatusCount = 6;

// The one place where a read or write result of the driver becomes a line status.
constexpr LineStatus StatusFromResult(int32_t driverResult) {
    switch (driverResult) {
    case VPI_OK:
        return LineStatus::Ok;
    case VPI_COMM_FAILURE:
        return LineStatus::NoAnswer;
    default:
        return LineStatus::Refused;
    }
}

// What the driver's traces told of one read or write (TryTally): the tries it began (each of a
// write's; a read's retries, its first try leaving no trace), how many the PLC answered with an
// error reply and whether the last one was, and the tries whose request the PLC acknowledged but
// whose reply did not come (or, for a read, came unusable): how many, and the shortest time from
// such an acknowledgement to the end of its try.
struct Tries {
    int begun = 0;
    int refusedByPlc = 0;
    bool lastRefusedByPlc = false;
    int unansweredAfterAck = 0;
    std::chrono::milliseconds quietAfterAck{};
};

// A write's outcome. The driver's result is its last try's, and a reply that came late (to an
// earlier try) or garbled counts as refused there; but every try whose frame went out and was not
// answered with an error reply may have been applied, the write then possibly several times.
// Such a write has no known outcome: NoAnswer. Refused only when no try began (the tag itself
// was refused) or the PLC refused every try.
constexpr LineStatus StatusFromWrite(int32_t driverResult, const Tries &tries) {
    if (driverResult != VPI_OK && tries.begun > tries.refusedByPlc)
        return LineStatus::NoAnswer;
    return StatusFromResult(driverResult);
}

// A read's outcome. Its driver result 1 after its tries means the last try got no usable reply:
// refused when that was the PLC's error reply; a reply that came late, garbled or to an earlier
// request leaves the values unknown and the PLC no nearer to answering: NoAnswer.
constexpr LineStatus StatusFromRead(int32_t driverResult, const Tries &tries) {
    if (driverResult == VPI_REFUSED && tries.begun > 0 && !tries.lastRefusedByPlc)
        return LineStatus::NoAnswer;
    return StatusFromResult(driverResult);
}

// The PLC acknowledged the requests, and each of those tries then waited at least the line's
// timeout without a reply: its replies come after the timeout.
constexpr bool RepliesAfterTimeout(const Tries &tries, std::chrono::milliseconds timeout) {
    return tries.unansweredAfterAck > 0 && tries.quietAfterAck >= timeout;
}

// Tables from a status to a front end's answer have one row per status in the enum's order,
// so a look-up is an index and a table that misses a status fails its static_assert.
template <typename Row>
constexpr bool CoversEveryStatus(const std::array<Row, kLineStatusCount> &table) {
    for (size_t i = 0; i < kLineStatusCount; ++i) {
        if (table[i].status != static_cast<LineStatus>(i))
            return false;
    }
    return true;
}

template <typename Row>
constexpr const Row &RowFor(const std::array<Row, kLineStatusCount> &table, LineStatus status) {
    return table[static_cast<size_t>(status)];
}

} // namespace vpisd::host
