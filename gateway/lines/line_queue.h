// The bounded queue between the front ends and one line's worker. Each source has its own
// share; what the worker takes next is the line scheduler's choice.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/lines/line_request.h"
#include "gateway/lines/line_scheduler.h"

namespace vpisd::gateway {

class LineQueue {
  public:
    explicit LineQueue(size_t depthPerSource) : depth_(depthPerSource) {}

    // Takes the request unless its source's share is full or the queue is closed; on false
    // the request is left as it was and the caller answers it.
    bool Push(LineRequest &request);
    // The batch `scheduler` picks, waiting until there is one, `until` passes or the queue is
    // closed.
    std::optional<Batch> Take(std::chrono::steady_clock::time_point until,
                              LineScheduler &scheduler);
    // Refuses new requests and wakes the worker.
    void Close();
    bool closed() const;
    // Everything still waiting, for answering as cancelled.
    std::vector<LineRequest> TakeAll();

  private:
    const size_t depth_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<LineRequest> waiting_; // arrival order
    std::array<size_t, kSourceCount> shares_{};
    bool closed_ = false;
};

} // namespace vpisd::gateway
