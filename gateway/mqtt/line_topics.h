// The topics of one line under <prefix>/<line>/ and what each last told: its poll groups'
// values, a route topic per PLC it polls, a <plc>/status topic per PLC it polls, and the /set
// targets its values answer to. Built from the configuration alone; a reload builds the new
// line's and carries over from the old what a group kept.
//
// Topics under <prefix>/<line>/:
//   status                    "online" retained; "offline" as the last will and at stop
//   <plc>/status              "online" while the PLC answers, "offline" while it is silent or
//                             demoted or its line is down, retained; for each PLC a group reads,
//                             first once its first transaction has settled it
//   <plc>/<value>             {"value":-10.5,"ts":"...","quality":"good"} retained
//   <plc>/route               {"value":0,"route":"normal","ts":"..."} retained
//   <plc>/<value>/set         a number to write, in the value's published units
//   <plc>/<value>/set/result  ok, refused, no_answer or read_only
//   <plc>/<value>/set/reason  why a write was refused, just before its result
// <value> is the value's name when its group gives one ("tank1/level"), else its key: "100"
// (a register, or the pair from 100 of a 32-bit type), "101F" (the pair 101-102) or "100/3"
// (bit 3 of 100, counted from 1 at the least significant bit). A register no group polls takes
// a /set on its key as uint16 (a pair "101F" as uint32, a bit as a bit).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/mqtt/mqtt_payload.h"

namespace vpisd::gateway {

// <plc>/<value>.
struct ValueState {
    std::string topic;
    std::optional<int64_t> value; // the latest good raw value
    std::optional<Quality> quality;
    std::string ts;                  // of the latest read, good or not
    std::optional<double> published; // the number last published, for the deadband
    bool sent = false;
};
struct GroupTopics {
    const PollConfig *poll = nullptr; // in the configuration it was built from
    std::vector<ValueState> values;
};
// <plc>/status of a PLC a group reads.
struct PlcStatusTopic {
    std::string plc;
    std::string topic;
    std::string published; // the word last published; "" none yet
};
// <plc>/route of a PLC a group reads (peer to peer "00" has none).
struct RouteTopic {
    std::string plc;
    std::string topic;
    std::optional<uint16_t> selection;
    std::string ts;
    bool sent = false;
};
// What "<plc>/<level>" of a polled value names: its group and index; `byKeyOfNamed` for the key
// of a value that has a name (its /set goes to the name).
struct SetTarget {
    size_t group = 0;
    size_t value = 0;
    bool byKeyOfNamed = false;
    bool operator==(const SetTarget &) const = default;
};

struct LineTopics {
    std::string base; // "<prefix>/<line>"
    std::vector<GroupTopics> groups;
    std::vector<RouteTopic> routes;
    std::vector<PlcStatusTopic> plcStatuses;
    std::map<std::string, SetTarget> targets; // by "<plc>/<level>"
};

// The topics of `config.lines[line]`; `config` must have an [mqtt] table and outlive them.
LineTopics BuildLineTopics(const Config &config, size_t line);

// The PLCs the line's groups read, in the order the file names them.
std::vector<std::string> PolledPlcs(const Config &config, size_t line);

// `next` takes from `old` what stays: a group polled as before keeps its values, a route its
// selection, a PLC status topic the word it last published. Returns the status topics of the
// PLCs no group reads any more: watched no longer, they go offline.
std::vector<PlcStatusTopic> Carry(const LineTopics &old, LineTopics &next);

} // namespace vpisd::gateway
