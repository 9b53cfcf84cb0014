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
