// A line made in a test: a LineService that answers each job at once, on the thread that submits
// it, from a table of registers and routes per PLC, with the statuses the test scripts. Its
// PLCs' health follows the answers (Ok and Refused answered, NoAnswer silent). And a clock that
// moves only when the test moves it, for a poller's rounds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gateway/lines/line_service.h"
#include "gateway/poll/poll_clock.h"

namespace vpisd::gateway::test {

class FakeLine final : public LineService {
  public:
    explicit FakeLine(std::string name = "line1");

    const std::string &name() const override { return name_; }
    Queued Submit(LineRequest &request) override;
    WorkerStatus Status() const override;
    const PlcHealth &health() const override { return health_; }

    void SetRegister(const std::string &plc, uint16_t reg, uint16_t value);
    // 0 for a register never set or written.
    uint16_t Register(const std::string &plc, uint16_t reg) const;
    void SetRoute(const std::string &plc, uint16_t selection);
    // Every job for `plc` is answered with `status` from now on; Ok: from the table. A demoted
    // answer (LineReply::demoted) with `demoted`.
    void AnswerWith(const std::string &plc, LineStatus status, bool demoted = false);
    // Submit does not take jobs but answers `queued` (Taken: takes them again).
    void Refuse(Queued queued);
    // Jobs taken from now on wait unanswered until Release answers them (on the caller's thread).
    void Hold();
    void Release();

    // Jobs taken so far, in order (without their `done`).
    std::vector<LineRequest> Jobs() const;
    // Jobs of `op` for `plc` taken so far.
    size_t Count(LineOp op, const std::string &plc) const;
    // Waits up to `limit` until `Count(op, plc)` reaches `count`.
    bool WaitForCount(LineOp op, const std::string &plc, size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  private:
    LineReply Answer(const LineRequest &request);
    void Deliver(LineRequest &request, LineReply &&reply);

    const std::string name_;
    PlcHealth health_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, uint16_t>, uint16_t> registers_;
    std::map<std::string, uint16_t> routes_;
    std::map<std::string, std::pair<LineStatus, bool>> scripted_;
    Queued queued_ = Queued::Taken;
    bool holding_ = false;
    std::vector<std::pair<LineRequest, LineReply>> held_;
    WorkerStatus status_;
    std::vector<LineRequest> jobs_;
};

// A poller's clock that stands still until Advance.
class ManualPollClock final : public PollClock {
  public:
    TimePoint Now() const override;
    void WaitUntil(std::condition_variable &wake, std::unique_lock<std::mutex> &lock,
                   TimePoint until) const override;
    void Advance(std::chrono::milliseconds by);

  private:
    mutable std::mutex mutex_;
    TimePoint now_{};
};

// Waits up to `limit` (real time) until `done` holds, looking every millisecond.
bool WaitUntil(const std::function<bool()> &done,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace vpisd::gateway::test
