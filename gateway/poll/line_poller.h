// The poll groups of one line, read by the line's worker in turn with every other request: each
// group when it is due, its values kept raw with the quality of their latest read, and every
// change of a PLC's health noticed. The faces that publish the values subscribe to it before it
// starts and are called on the poller's own thread, one at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/mqtt/mqtt_payload.h"

namespace vpisd::gateway {

struct PolledValue {
    std::optional<int64_t> raw;     // the latest good raw value (a float32's bits)
    std::optional<Quality> quality; // of the latest read; none before the first
    // The value in its group's units, when the latest read gave one.
    std::optional<double> number;
};

struct PolledGroup {
    const PollConfig *poll = nullptr;
    std::vector<PolledValue> values;
    std::chrono::system_clock::time_point at{}; // of the latest read
};

class LinePoller {
  public:
    struct Listener {
        // A group's read settled (good or not; a read the line could not take is not told).
        std::function<void(const PolledGroup &)> read;
        // The health of a PLC of the line, or the line's own state, changed.
        std::function<void()> health;
    };

    LinePoller(const Config &config, size_t line, LineWorker &worker);
    ~LinePoller();
    LinePoller(const LinePoller &) = delete;
    LinePoller &operator=(const LinePoller &) = delete;

    // Before Start.
    void Listen(Listener listener);
    void Start();
    // Polls no more; the jobs still on the line are left to it, their answers unread.
    void Stop();

    // A job beside the polls (a write); `done` is called on the poller's thread. False when the
    // line's queue did not take it, or the poller stopped.
    bool Submit(LineRequest request, std::function<void(const LineReply &)> done);
    // The groups of `plc` are read again now (after a write, to show the new value).
    void ReadSoon(const std::string &plc);

    LineWorker &worker() const { return worker_; }
    size_t line() const { return lineIndex_; }
    // The PLCs the line's groups read, in the order the file names them.
    const std::vector<std::string> &plcs() const { return plcs_; }
    // True while `plc` answers, as its line's worker last saw it.
    bool Answering(const std::string &plc) const;

  private:
    using Clock = std::chrono::steady_clock;

    struct Group {
        PolledGroup polled;
        Clock::time_point due{};
        bool inFlight = false;
    };
    struct Done {
        std::function<void(const LineReply &)> then; // empty: a poll of group `index`
        size_t index = 0;
        LineReply reply;
        std::chrono::system_clock::time_point at{};
    };

    void Run();
    void Schedule(Clock::time_point now);
    bool SubmitJob(LineRequest &request, Done done);
    void PollDone(Group &group, const LineReply &reply, std::chrono::system_clock::time_point at);
    void WatchHealth();

    const size_t lineIndex_;
    LineWorker &worker_;
    std::vector<Group> groups_;
    std::vector<std::string> plcs_;
    std::vector<Listener> listeners_;
    uint64_t healthSeen_ = 0;
    bool lineDownSeen_ = false;

    struct Inbox {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Done> done;
        std::vector<std::string> readSoon;
        bool stop = false;
    };
    const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::thread thread_;
};

} // namespace vpisd::gateway
