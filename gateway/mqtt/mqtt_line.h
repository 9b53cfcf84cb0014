// The MQTT side of one serial line: its own broker connection (whose last will marks the
// line's status topic "offline"), the values of the line's poll groups as the line's poller
// reads them for every publishing face, and the writes that come in on the line's /set topics.
// Its topics are listed in line_topics.h.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "gateway/config/config.h"
#include "gateway/lines/line_service.h"
#include "gateway/mqtt/line_discovery.h"
#include "gateway/mqtt/line_topics.h"
#include "gateway/mqtt/mqtt_client.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/mqtt/mqtt_values.h"
#include "gateway/mqtt/mqtt_writes.h"
#include "gateway/mqtt/value_topic.h"
#include "gateway/poll/line_poller.h"

namespace vpisd::gateway {

class MqttLine {
  public:
    // The line `config.lines[line]`, served by `service`, its groups read and its writes carried
    // by `poller`, its discovery configs those of `discovery` (the configuration's);
    // `clientId`: the broker client id of this line's connection. `config` must have an [mqtt]
    // table.
    MqttLine(std::shared_ptr<const Config> config, size_t line, LineService &service,
             LinePoller &poller, std::shared_ptr<const DiscoveryPlan> discovery,
             std::string clientId, MqttStatistics &statistics);
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
    // The reload done: the line is `config.lines[line]`, served by `service` and read by
    // `poller`, on the same broker connection. Its topics are the new ones (what a group kept
    // from before keeps its values), its discovery configs `discovery`'s (those no line has any
    // more are cleared), and the commands that come are served again.
    void Rebind(std::shared_ptr<const Config> config, size_t line, LineService &service,
                LinePoller &poller, std::shared_ptr<const DiscoveryPlan> discovery);
    // Clears the discovery configs of this line that `kept` does not hold (a line a reload
    // removes, before its Stop).
    void ClearDiscovery(const std::set<std::string> &kept);

  private:
    // A round of a group or a route from the poller, or a write's outcome, handed to the
    // line's thread.
    struct Done {
        enum class Kind : uint8_t { Poll, Route, Write } kind = Kind::Poll;
        uint64_t generation = 0; // of the topics, and of the worker, it went to
        PolledGroup polled;      // Poll
        PolledRoute route;       // Route
        SetCommand command;      // Write: the command it answers
        WriteAnswer answer;      // Write
    };

    // Listens to poller_, whose rounds carry the current generation.
    void Listen();
    void Unlisten();
    void Run();
    void Finish(Done &done);
    void SubscribeNames();
    void OnSet(const SetCommand &command);

    // Fixed for the line's life: what its connection is made of.
    const MqttConfig mqtt_;
    const std::string name_;
    const std::string base_; // "<prefix>/<line>"
    const std::string clientId_;
    MqttStatistics &statistics_;
    MqttPlcStatistics plcStatistics_;
    MqttClient client_;
    MqttValues values_;

    // What a reload changes, and every step taken with it: held by the line's thread for each
    // step, by the client's handlers, and by Prepare and Rebind. Taken before the inbox's
    // mutex, never after it.
    mutable std::mutex stateMutex_;
    std::shared_ptr<const Config> config_; // topics_ point into it
    size_t lineIndex_;
    LineService *service_ = nullptr;
    LinePoller *poller_ = nullptr; // the owner's: reads the groups, carries the writes
    std::optional<LinePoller::ListenerId> listening_;
    MqttWrites writes_;
    bool restarting_ = false;
    uint64_t generation_ = 0;
    LineTopics topics_;
    LineDiscovery discovery_;

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
    // Hands `done` to the line's thread: false once the line has stopped.
    static bool Hand(Inbox &inbox, Done done);
    const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::thread thread_;
};

} // namespace vpisd::gateway
