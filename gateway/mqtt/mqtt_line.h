// The MQTT side of one serial line: its own broker connection (whose last will marks the
// line's status topic "offline"), the poll groups of the line read by the line's worker in
// turn with the Modbus requests, and the writes that come in on the line's /set topics.
//
// Topics under <prefix>/<line>/:
//   status                    "online" retained; "offline" as the last will and at stop
//   <plc>/<value>             {"value":1234,"ts":"...","quality":"good"} retained
//   <plc>/route               {"value":0,"route":"normal","ts":"..."} retained
//   <plc>/<value>/set         a number to write
//   <plc>/<value>/set/result  ok, refused, no_answer or read_only
//   <plc>/<value>/set/reason  why a write was refused, just before its result
// <value> is "100" (a register), "101F" (the pair 101-102, 32 bits) or "100/3" (bit 3 of 100,
// counted from 1 at the least significant bit).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
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
    // Polls no more, waits for the jobs on the line, marks the line "offline" and disconnects.
    void Stop();
    // From any thread.
    MqttLineSnapshot Status() const { return client_.Status(); }

  private:
    using Clock = std::chrono::steady_clock;

    struct Value {
        std::string topic;
        std::optional<int64_t> value; // the latest good one
        std::optional<Quality> quality;
        std::string ts; // of the latest read, good or not
        bool sent = false;
    };
    struct Group {
        const PollConfig *poll = nullptr;
        std::vector<Value> values;
        Clock::time_point due{};
        bool inFlight = false;
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
        std::string topic; // Write: the /set topic
        int64_t value = 0; // Write: the value written
        LineReply reply;
        std::chrono::system_clock::time_point at{};
    };

    void Run();
    void Schedule(Clock::time_point now);
    bool SubmitJob(LineRequest &request, Done::Kind kind, size_t index, std::string topic = "",
                   int64_t value = 0);
    void Finish(Done &done);
    void PollDone(Group &group, const LineReply &reply, const std::string &ts);
    void RouteDone(Route &route, const LineReply &reply, const std::string &ts);
    void Send(Value &value, bool changed);
    void Republish();
    void OnSet(const std::string &topic, const std::string &payload);
    // `value`: what was (or would have been) written, for the log.
    void Answer(const std::string &setTopic, WriteOutcome outcome, const std::string &reason,
                std::optional<int64_t> value = std::nullopt);
    bool ReadOnly(const std::string &plc) const;

    const Config &config_;
    const LineConfig &line_;
    const std::string base_; // "<prefix>/<line>"
    LineWorker &worker_;
    MqttStatistics &statistics_;
    MqttClient client_;
    std::vector<Group> groups_;
    std::vector<Route> routes_;

    std::mutex mutex_; // guards what the other threads hand over: done_, republish_, stop_
    std::condition_variable wake_;
    std::deque<Done> done_;
    size_t jobsOut_ = 0; // jobs the worker has not answered yet
    bool republish_ = false;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace vpisd::gateway
