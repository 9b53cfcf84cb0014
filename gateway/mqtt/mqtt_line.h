// The MQTT side of one serial line: its own broker connection (whose last will marks the
// line's status topic "offline"), the values of the line's poll groups as the line's poller
// reads them for every publishing face, and the writes that come in on the line's /set topics.
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
#include "gateway/poll/line_poller.h"
#include "gateway/write_command.h"

namespace vpisd::gateway {

class MqttLine {
  public:
    // The line `config.lines[line]`, served by `worker`, its groups read by `poller` (null: it
    // has none); `clientId`: the broker client id of this line's connection. `config` must have
    // an [mqtt] table.
    MqttLine(std::shared_ptr<const Config> config, size_t line, LineWorker &worker,
             LinePoller *poller, std::string clientId, MqttStatistics &statistics);
    ~MqttLine();
    MqttLine(const MqttLine &) = delete;
    MqttLine &operator=(const MqttLine &) = delete;

    bool Start(std::string &error);
    // Listens to the poller no more, answers the commands still waiting, marks the line
    // "offline" and disconnects; the jobs still on the line are left to it (a write's late result
    // is logged).
    void Stop();
    // From any thread.
    MqttLineSnapshot Status() const;
    const std::string &name() const { return name_; }
    const std::string &clientId() const { return clientId_; }

    // A reload is about to change the configuration to `next`, where this line is
    // `next.lines[line]` (nullopt: it goes). The write rights are `next`'s from now on. When the
    // line's worker is about to be replaced (`restarting`), every /set is refused ("the line is
    // restarting") until Rebind, and so are the writes the old worker cancels.
    void Prepare(const std::shared_ptr<const Config> &next, std::optional<size_t> line,
                 bool restarting);
    // The reload done: the line is `config.lines[line]`, served by `worker` and read by
    // `poller`, on the same broker connection. Its poll groups, routes, PLC status topics and
    // discovery configs are the new ones (what a group kept from before keeps its values), the
    // configs no line has any more are cleared, and the commands that come are served again.
    void Rebind(std::shared_ptr<const Config> config, size_t line, LineWorker &worker,
                LinePoller *poller);
    // Clears the discovery configs of this line that `kept` does not hold (a line a reload
    // removes, before its Stop).
    void ClearDiscovery(const std::set<std::string> &kept);

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
        const PollConfig *poll = nullptr; // in config_
        std::vector<Value> values;
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
    // A round of a group from the poller, or a worker's outcome, handed to the line's thread.
    struct Done {
        enum class Kind : uint8_t { Poll, Route, Write } kind = Kind::Poll;
        size_t index = 0;        // Poll, Route: the group or route of `generation`
        uint64_t generation = 0; // of the groups and routes, and of the worker, it went to
        std::string plc;         // the job's PLC
        SetCommand command;      // Write: the command it answers
        std::string shown;       // Write: the value written, for the log
        PolledGroup polled;      // Poll: the round
        LineReply reply;         // Route, Write
        std::chrono::system_clock::time_point at{};
    };
    // "<plc>/<level>" of every polled value: its group and index in groups_; `byKeyOfNamed`
    // for the key of a value that has a name (its /set goes to the name).
    struct Target {
        size_t group = 0;
        size_t value = 0;
        bool byKeyOfNamed = false;
    };

    // Builds the groups, routes, targets, PLC status topics and discovery configs of config_'s
    // line lineIndex_.
    void Build();
    // Listens to poller_, whose rounds carry the current generation.
    void Listen();
    void Unlisten();
    void Run();
    // Closed also when the MQTT side of the line is stopping.
    Queued SubmitJob(LineRequest &request, Done::Kind kind, size_t index,
                     const SetCommand *command = nullptr, std::string shown = "");
    void Finish(Done &done);
    void PollDone(Group &group, const PolledGroup &polled);
    void CountPoll(const std::string &plc, Quality quality);
    void RouteDone(Route &route, const LineReply &reply, const std::string &ts);
    void Send(const Group &group, Value &value, bool changed);
    std::string Payload(const Group &group, const Value &value) const;
    void Republish();
    // Publishes the <plc>/status topics that changed since last time, or all of them (at a
    // connect).
    void UpdatePlcStatus(bool all);
    void PublishDiscovery();
    void SubscribeNames();
    bool OnRetained(const std::string &topic, const std::string &payload);

    // A /set, in the steps any front end's write takes: what the command names, whether the
    // PLC may be written, its payload as the raw value, and the job on the line.
    void OnSet(const SetCommand &command);
    std::optional<WriteTarget> Resolve(const SetCommand &command, std::string &refusal) const;
    bool WriteAllowed(const std::string &plc) const;
    void SubmitWrite(const SetCommand &command, LineRequest &request, const std::string &shown);
    // `shown`: what was (or would have been) written, for the log.
    void Answer(const SetCommand &command, WriteOutcome outcome, const std::string &reason,
                const std::string &shown = "");

    // Fixed for the line's life: what its connection is made of.
    const MqttConfig mqtt_;
    const std::string name_;
    const std::string base_; // "<prefix>/<line>"
    const std::string clientId_;
    MqttStatistics &statistics_;
    MqttPlcStatistics plcStatistics_;
    // Failed writes of one kind to one PLC: a line a minute, the others counted.
    LimitedLog writeLog_{{"mqtt writes failed:", "to other PLCs or of other kinds"}};
    MqttClient client_;

    // What a reload changes, and every step taken with it: held by the line's thread for each
    // step, by the client's handlers, and by Prepare and Rebind. Taken before the inbox's
    // mutex, never after it.
    mutable std::mutex stateMutex_;
    std::shared_ptr<const Config> config_;
    size_t lineIndex_;
    LineWorker *worker_;
    LinePoller *poller_;
    std::optional<LinePoller::ListenerId> listening_;
    std::shared_ptr<const Config> rights_; // the write rights' configuration (Prepare's)
    std::optional<size_t> rightsLine_;     // this line in rights_; nullopt: it goes
    bool restarting_ = false;
    uint64_t generation_ = 0;
    std::vector<Group> groups_;
    std::vector<Route> routes_;
    std::vector<PlcStatus> plcStatuses_;
    std::map<std::string, Target> targets_;
    std::vector<DiscoveryConfig> discovery_; // this line's discovery configs
    std::set<std::string> discoveryTopics_;  // every line's: the ones not to clear

    // What the other threads hand over. Each job's answer holds it too: a job answered after
    // the line stopped lands here unread, so stopping never waits for the jobs on the line.
    struct Inbox {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Done> done;
        std::deque<SetCommand> sets;
        bool republish = false;
        bool health = false; // the poller saw the PLCs' health change
        bool stop = false;
    };
    const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::thread thread_;
};

} // namespace vpisd::gateway
