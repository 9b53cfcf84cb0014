#include "gateway/lines/line_queue.h"

namespace vpisd::gateway {

bool LineQueue::Push(LineRequest &request) {
    {
        std::lock_guard lock(mutex_);
        size_t &share = shares_[static_cast<size_t>(request.source)];
        if (closed_ || share >= depth_)
            return false;
        ++share;
        waiting_.push_back(std::move(request));
    }
    ready_.notify_one();
    return true;
}

std::optional<Batch> LineQueue::Take(std::chrono::steady_clock::time_point until,
                                     LineScheduler &scheduler) {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        const auto now = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> linger;
        Batch batch = scheduler.Pick(waiting_, now, linger);
        if (!batch.empty()) {
            for (const ReadyAnswer &ready : batch.ready)
                --shares_[static_cast<size_t>(ready.request.source)];
            for (const LineRequest &job : batch.jobs)
                --shares_[static_cast<size_t>(job.source)];
            return batch;
        }
        if (now >= until)
            return std::nullopt;
        ready_.wait_until(lock, linger ? std::min(*linger, until) : until);
    }
    return std::nullopt;
}

void LineQueue::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool LineQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::vector<LineRequest> LineQueue::TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<LineRequest> all(std::make_move_iterator(waiting_.begin()),
                                 std::make_move_iterator(waiting_.end()));
    waiting_.clear();
    shares_ = {};
    return all;
}

} // namespace vpisd::gateway
