// The bounded queue between the front ends and one line's worker. Each source has its own
// share; Pop serves the sources in turn and each source in arrival order.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/lines/line_request.h"

namespace vpisd::gateway {

class LineQueue {
  public:
    explicit LineQueue(size_t depthPerSource) : depth_(depthPerSource) {}

    // Takes the request unless its source's share is full or the queue is closed; on false
    // the request is left as it was and the caller answers it.
    bool Push(LineRequest &request);
    // The next request, waiting until one comes, `until` passes or the queue is closed.
    std::optional<LineRequest> Pop(std::chrono::steady_clock::time_point until);
    // Refuses new requests and wakes the worker.
    void Close();
    bool closed() const;
    // Everything still waiting, for answering as cancelled.
    std::vector<LineRequest> TakeAll();

  private:
    const size_t depth_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::array<std::deque<LineRequest>, kSourceCount> waiting_;
    size_t nextSource_ = 0;
    bool closed_ = false;
};

} // namespace vpisd::gateway
