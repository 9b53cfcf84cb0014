// The gateway's logic in-process, without a serial line or a broker: a line made in the test, a
// poller's clock that moves only when the test moves it, a publisher that records, and a
// configuration of lines and poll groups made without a file.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_service.h"
#include "gateway/mqtt/publisher.h"
#include "gateway/poll/poll_clock.h"

namespace vpisd::gateway::test {

// Waits up to `limit` (real time) until `done` holds, looking every millisecond.
inline bool WaitUntil(const std::function<bool()> &done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A LineService that answers each job on the thread that submits it, from a table of registers
// and routes per PLC, with the statuses the test scripts; its PLCs' health follows the answers.
class FakeLine final : public LineService {
  public:
    explicit FakeLine(std::string name = "line1")
        : name_(std::move(name)), health_(name_, DemotionPolicy{}) {}

    const std::string &name() const override { return name_; }
    const PlcHealth &health() const override { return health_; }
    WorkerStatus Status() const override {
        WorkerStatus status;
        status.state = LineState::Up;
        return status;
    }

    Queued Submit(LineRequest &request) override {
        std::unique_lock lock(mutex_);
        if (queued_ != Queued::Taken)
            return queued_;
        jobs_.push_back(request);
        jobs_.back().done = nullptr;
        if (holding_)
            held_.push_back(std::move(request));
        else {
            lock.unlock();
            Answer(request);
        }
        return Queued::Taken;
    }

    void SetRegister(const std::string &plc, uint16_t reg, uint16_t value) {
        std::lock_guard lock(mutex_);
        registers_[{plc, reg}] = value;
    }
    void SetRoute(const std::string &plc, uint16_t selection) {
        std::lock_guard lock(mutex_);
        routes_[plc] = selection;
    }
    // Every job for `plc` is answered with `status` (Ok: from the tables), `demoted` or not.
    void AnswerWith(const std::string &plc, LineStatus status, bool demoted = false) {
        std::lock_guard lock(mutex_);
        scripted_[plc] = {status, demoted};
    }
    // Submit takes no job but answers `queued` (Taken: takes them again).
    void Refuse(Queued queued) {
        std::lock_guard lock(mutex_);
        queued_ = queued;
    }
    // The jobs taken from now on wait unanswered until Release answers them.
    void Hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void Release() {
        std::unique_lock lock(mutex_);
        holding_ = false;
        std::vector<LineRequest> held = std::exchange(held_, {});
        lock.unlock();
        for (LineRequest &request : held)
            Answer(request);
    }

    // The jobs taken so far, in order (without their `done`).
    std::vector<LineRequest> Jobs() const {
        std::lock_guard lock(mutex_);
        return jobs_;
    }
    size_t Count(LineOp op, const std::string &plc) const {
        const std::vector<LineRequest> jobs = Jobs();
        return static_cast<size_t>(std::count_if(jobs.begin(), jobs.end(), [&](const auto &job) {
            return job.op == op && job.plc == plc;
        }));
    }
    bool WaitForCount(LineOp op, const std::string &plc, size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return WaitUntil([&] { return Count(op, plc) >= count; }, limit);
    }

  private:
    // Outside the lock, as a line calls `done`.
    void Answer(LineRequest &request) {
        LineReply reply = Reply(request);
        const auto now = PlcHealth::Clock::now();
        if (reply.status == LineStatus::NoAnswer)
            health_.Unanswered(request.plc, false, "no_answer", now);
        else if (reply.status == LineStatus::Ok)
            health_.Answered(request.plc, now);
        request.done(std::move(reply));
    }

    LineReply Reply(const LineRequest &request) {
        std::lock_guard lock(mutex_);
        LineReply reply;
        std::tie(reply.status, reply.demoted) = scripted_[request.plc];
        if (reply.status != LineStatus::Ok)
            return reply;
        if (request.op == LineOp::ReadRoute)
            reply.values.push_back(routes_[request.plc]);
        for (uint16_t i = 0; request.op == LineOp::ReadRegisters && i < request.count; ++i)
            reply.values.push_back(registers_[{request.plc, uint16_t(request.first + i)}]);
        for (size_t i = 0; request.op == LineOp::WriteRegisters && i < request.values.size(); ++i)
            registers_[{request.plc, uint16_t(request.first + i)}] = request.values[i];
        return reply;
    }

    const std::string name_;
    PlcHealth health_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, uint16_t>, uint16_t> registers_;
    std::map<std::string, uint16_t> routes_;
    std::map<std::string, std::pair<LineStatus, bool>> scripted_; // unscripted: Ok, not demoted
    Queued queued_ = Queued::Taken;
    bool holding_ = false;
    std::vector<LineRequest> held_;
    std::vector<LineRequest> jobs_;
};

// A poller's clock that stands still until Advance.
class ManualPollClock final : public PollClock {
  public:
    TimePoint Now() const override { return now_.load(); }
    // The test moves the time without the waiter's lock: look again every millisecond.
    void WaitUntil(std::condition_variable &wake, std::unique_lock<std::mutex> &lock,
                   TimePoint until) const override {
        if (Now() < until)
            wake.wait_for(lock, std::chrono::milliseconds(1));
    }
    void Advance(std::chrono::milliseconds by) { now_.store(now_.load() + by); }

  private:
    std::atomic<TimePoint> now_{};
};

class RecordingPublisher : public Publisher {
  public:
    bool Publish(const std::string &topic, const std::string &payload, bool retain) override {
        if (connected)
            published.push_back(topic + " " + payload + (retain ? " (retained)" : ""));
        return connected;
    }
    bool Subscribe(const std::string &) override { return connected; }
    // What was published since the last call, as "topic payload [(retained)]".
    std::vector<std::string> Take() { return std::exchange(published, {}); }

    bool connected = true;
    std::vector<std::string> published;
};

// Lines named `names` under [mqtt] (topic_prefix "vpisd", discovery under "ha").
inline Config LinesConfig(const std::vector<std::string> &names) {
    Config config;
    for (const std::string &name : names)
        config.lines.emplace_back().name = name;
    config.mqtt = MqttConfig{};
    config.mqtt->discoveryPrefix = "ha";
    return config;
}

// A group of `line` reading `registers` ("100:2", "101F", "100/3") of `plc`.
inline PollConfig Poll(size_t line, const std::string &plc, const std::string &registers) {
    PollConfig poll;
    poll.line = line;
    poll.plc = plc;
    std::string why;
    poll.registers = *ParsePollRegisters(registers, why);
    return poll;
}

} // namespace vpisd::gateway::test
