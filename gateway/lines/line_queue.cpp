#include "gateway/lines/line_queue.h"

namespace vpisd::gateway {

bool LineQueue::Push(LineRequest &request) {
    {
        std::lock_guard lock(mutex_);
        auto &share = waiting_[static_cast<size_t>(request.source)];
        if (closed_ || share.size() >= depth_)
            return false;
        share.push_back(std::move(request));
    }
    ready_.notify_one();
    return true;
}

std::optional<LineRequest> LineQueue::Pop(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        for (size_t turn = 0; turn < kSourceCount; ++turn) {
            auto &share = waiting_[(nextSource_ + turn) % kSourceCount];
            if (share.empty())
                continue;
            nextSource_ = (nextSource_ + turn + 1) % kSourceCount;
            LineRequest request = std::move(share.front());
            share.pop_front();
            return request;
        }
        if (ready_.wait_until(lock, until) == std::cv_status::timeout)
            return std::nullopt;
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
    std::vector<LineRequest> all;
    for (auto &share : waiting_) {
        for (auto &request : share)
            all.push_back(std::move(request));
        share.clear();
    }
    return all;
}

} // namespace vpisd::gateway
