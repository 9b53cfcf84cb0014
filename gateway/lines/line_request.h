// One job for a line worker: everything it needs to run the transaction, and the path its
// outcome takes back. Every face (Modbus directly, the publishing faces through their line's
// poller) speaks to the lines only through this record and LineService::Submit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/line_status.h"

namespace vpisd::gateway {

// Who asked. The sources take turns on a line, and each Modbus connection, the MQTT side (its
// writes and the polls every publishing face reads) and Sparkplug's commands have their own share
// of its queue, so one front end or client flooding a line starves no other.
enum class Source : uint8_t { Modbus, Mqtt, Sparkplug };
constexpr size_t kSourceCount = 3;

enum class LineOp : uint8_t {
    ReadRegisters,  // `count` registers from `first`; `values` come back in register order
    WriteRegisters, // `values` into consecutive registers from `first`, one SY/MAX write
    WriteBits,      // `bits` below register `first` one masked bit write each, then `values` (if
                    // any) from `first` as one block write, then the other `bits`; never a
                    // read-modify-write. A stop ends it between two writes (Cancelled).
    ReadRoute,      // the PLC's route selection ("!ROUTE", no traffic): one value, 0 normal
};

struct BitWrite {
    uint16_t reg = 1; // SY/MAX register
    uint8_t bit = 0;  // 0 (least significant) to 15
    bool on = false;
};

using host::LineStatus;

// What a line's queue did with a request handed to it.
enum class Queued : uint8_t {
    Taken,
    Full,   // the share of its connection (Modbus) or front end (MQTT, Sparkplug) is full
    Closed, // the line's worker is stopping: a reload replaces it, or the gateway stops
};

// Why a request the queue did not take was refused, in the words the front ends log and publish.
constexpr const char *RefusalReason(Queued queued) {
    return queued == Queued::Full ? "the line's queue is full" : "the line is restarting";
}

struct LineReply {
    LineStatus status = LineStatus::Ok;
    std::vector<uint16_t> values; // ReadRegisters: `count` words
    bool demoted = false;         // NoAnswer at once for a demoted PLC: nothing went to the line
};

struct LineRequest {
    Source source = Source::Modbus;
    uint64_t client = 0; // the Modbus connection: its requests keep their order, clients take turns
    LineOp op = LineOp::ReadRegisters;
    std::string plc;              // GAS prefix: a PLC name of the line's init file, or "00"
    uint16_t first = 1;           // SY/MAX register, 1..9999
    uint16_t count = 0;           // ReadRegisters: 1..126 (2000 coils may touch 126 registers)
    std::vector<uint16_t> values; // WriteRegisters: 1..123 words
    std::vector<BitWrite> bits;   // WriteBits
    std::chrono::steady_clock::time_point queued{};
    // Called exactly once with the outcome, on the worker's thread. It must not block: hand
    // the reply over (a queue and a wake-up) and return.
    std::function<void(LineReply &&)> done;
};

} // namespace vpisd::gateway
