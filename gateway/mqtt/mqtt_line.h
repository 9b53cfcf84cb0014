// The MQTT side of one serial line: its own broker connection (whose last will marks the
// line's status topic "offline"), the poll groups of the line read by the line's worker in
// turn with the Modbus requests, and the writes that come in on the line's /set topics.
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

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/limited_log.h"
#include "gateway/lines/line_worker.h"
#include "gateway/mqtt/discovery.h"
#include "gateway/mqtt/mqtt_client.h"
#include "gateway/mqtt/mqtt_payload.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/mqtt/value_topic.h"

namespace vpisd::gateway {

class MqttLine {
  public:
    // `clientId`: the broker client id of this line's connection.
    MqttLine(const Config &config, size_t line, LineWorker &worker, std::string clientId,
             MqttStatistics &statistics);
    ~MqttLine();
    MqttLine(const MqttLine &) = delete;
    MqttLine &operator=(const MqttLine &) = delete;

    bool Start(std::string &error);
    // Polls no more, marks the line "offline" and disconnects; the jobs still on the line are
    // left to it, their answers unread.
    void Stop();
    // From any thread.
    MqttLineSnapshot Status() const;
    // A reload that keeps the MQTT side: which PLCs may be written is `config`'s from now on
    // (the gateway's and the units' read_only), for every /set that comes after.
    void SetWriteRights(std::shared_ptr<const Config> config);

  private:
    using Clock = std::chrono::steady_clock;

    struct Value {
        std::string topic;
        std::optional<int64_t> value; // the latest good raw value
        std::optional<Quality> quality;
        std::string ts;                  // of the latest read, good or not
        std::optional<double> published; // the number last published, for the deadband
        bool sent = false;
    };
    struct Group {
        const PollConfig *poll = nullptr;
        std::vector<Value> values;
        Clock::time_point due{};
        bool inFlight = false;
    };
    // <plc>/status of a PLC a group reads.
    struct PlcStatus {
        std::string plc;
        std::string topic;
        std::string published; // the word last published; "" none yet
    };
    struct Route {
        std::string plc;
        std::string topic;
        std::optional<uint16_t> selection;
        std::string ts;
        bool sent = false;
        bool inFlight = false;
    };
    // A worker's outcome, handed to the scheduler thread.
    struct Done {
        enum class Kind : uint8_t { Poll, Route, Write } kind = Kind::Poll;
        size_t index = 0;  // group or route
        std::string plc;   // the job's PLC
        std::string topic; // Write: the /set topic
        std::string shown; // Write: the value written, for the log
        LineReply reply;
        std::chrono::system_clock::time_point at{};
    };

    void Run();
    void Schedule(Clock::time_point now);
    bool SubmitJob(LineRequest &request, Done::Kind kind, size_t index, std::string topic = "",
                   std::string shown = "");
    void Finish(Done &done);
    void PollDone(Group &group, const LineReply &reply, const std::string &ts);
    void RouteDone(Route &route, const LineReply &reply, const std::string &ts);
    void Send(const Group &group, Value &value, bool changed);
    std::string Payload(const Group &group, const Value &value) const;
    void Republish();
    // Publishes the <plc>/status topics that changed since last time, or all of them (at a
    // connect); cheap when no PLC of the line changed.
    void UpdatePlcStatus(bool all);
    void PublishDiscovery();
    bool OnRetained(const std::string &topic, const std::string &payload);
    void OnSet(const std::string &topic, const std::string &payload);
    // `shown`: what was (or would have been) written, for the log.
    void Answer(const std::string &setTopic, WriteOutcome outcome, const std::string &reason,
                const std::string &shown = "");
    bool ReadOnly(const std::string &plc) const;

    const Config &config_;
    mutable std::mutex rightsMutex_;
    std::shared_ptr<const Config> rights_; // set by a reload; until then config_ says
    const size_t lineIndex_;
    const LineConfig &line_;
    const std::string base_; // "<prefix>/<line>"
    LineWorker &worker_;
    MqttStatistics &statistics_;
    MqttPlcStatistics plcStatistics_;
    // Failed writes of one kind to one PLC: a line a minute, the others counted.
    LimitedLog writeLog_{{"mqtt writes failed:", "to other PLCs or of other kinds"}};
    MqttClient client_;
    std::vector<Group> groups_;
    std::vector<Route> routes_;
    std::vector<PlcStatus> plcStatuses_;
    uint64_t healthSeen_ = 0; // the line's PlcHealth::changes() when last looked at
    bool lineDownSeen_ = false;
    // "<plc>/<level>" of every polled value: its group and index in groups_; `named` for the
    // key of a value that has a name (its /set goes to the name).
    struct Target {
        size_t group = 0;
        size_t value = 0;
        bool byKeyOfNamed = false;
    };
    std::map<std::string, Target> targets_;
    std::vector<DiscoveryConfig> discovery_; // this line's discovery configs
    std::set<std::string> discoveryTopics_;  // every line's: the ones not to clear

    // What the other threads hand over. Each job's answer holds it too: a job answered after
    // the line stopped lands here unread, so stopping never waits for the jobs on the line.
    struct Inbox {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Done> done;
        bool republish = false;
        bool stop = false;
    };
    const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::thread thread_;
};

} // namespace vpisd::gateway
