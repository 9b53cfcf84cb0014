// What became of one job on a line, in the words every front end derives its own answer from
// (a Modbus exception, an MQTT quality or write result, an exit code).
#pragma once

#include <array>
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

// What the driver's traces told of one write: the tries it began (each sends the frame unless
// the link fails first) and how many of them the PLC answered with an error reply.
struct WriteTries {
    int begun = 0;
    int refusedByPlc = 0;
};

// A write's outcome. The driver's result is its last try's, and a reply that came late (to an
// earlier try) or garbled counts as refused there; but every try whose frame went out and was not
// answered with an error reply may have been applied, the write then possibly several times.
// Such a write has no known outcome: NoAnswer. Refused only when no try began (the tag itself
// was refused) or the PLC refused every try.
constexpr LineStatus StatusFromWrite(int32_t driverResult, const WriteTries &tries) {
    if (driverResult != VPI_OK && tries.begun > tries.refusedByPlc)
        return LineStatus::NoAnswer;
    return StatusFromResult(driverResult);
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
