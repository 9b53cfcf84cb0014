// The bounded queue between the front ends and one line's worker. Each Modbus connection has its
// own share, the MQTT side one for all its jobs and Sparkplug one for its commands, so that a
// client keeping its whole share waiting leaves the others theirs; what the worker takes next is
// the line scheduler's choice. A read the scheduler can answer without the line skips the queue: it
// goes to the answers handed out by TakeAnswered, so that it does not wait for the transaction in
// progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "gateway/lines/line_request.h"
#include "gateway/lines/line_scheduler.h"

namespace vpisd::gateway {

class LineQueue {
  public:
    explicit LineQueue(size_t depthPerShare) : depth_(depthPerShare) {}

    // Takes the request unless its share is full or the queue is closed; when not taken the
    // request is left as it was and the caller answers it.
    Queued Push(LineRequest &request, LineScheduler &scheduler);
    // The batch `scheduler` picks, waiting until there is one, `until` passes or the queue is
    // closed. Its requests are on the line until Finished.
    std::optional<Batch> Take(std::chrono::steady_clock::time_point until,
                              LineScheduler &scheduler);
    void Finished();
    // The next request answered on arrival, waiting for one; nullopt once the queue is closed
    // and none is left.
    std::optional<ReadyAnswer> TakeAnswered();
    // Refuses new requests and wakes the worker.
    void Close();
    bool closed() const;
    // Requests waiting, not counting those on the line.
    size_t waiting() const;
    // Everything still waiting, for answering as cancelled.
    std::vector<LineRequest> TakeAll();

  private:
    // A request of that share left the queue.
    void Release(const LineRequest &request);

    const size_t depth_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable answeredReady_;
    std::deque<LineRequest> waiting_; // arrival order
    std::deque<ReadyAnswer> answered_;
    OnTheLine onTheLine_;
    // Requests waiting per share: a Modbus connection, or another source as a whole (client 0).
    std::map<std::pair<Source, uint64_t>, size_t> shares_;
    bool closed_ = false;
};

} // namespace vpisd::gateway
