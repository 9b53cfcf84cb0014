#include "gateway/lines/line_queue.h"

namespace vpisd::gateway {

bool LineQueue::Push(LineRequest &request, LineScheduler &scheduler) {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        ReadyAnswer ready;
        if (scheduler.AnswerAtOnce(request, waiting_, onTheLine_, std::chrono::steady_clock::now(),
                                   ready)) {
            ready.request = std::move(request);
            answered_.push_back(std::move(ready));
            answeredReady_.notify_one();
            return true;
        }
        size_t &share = shares_[static_cast<size_t>(request.source)];
        if (share >= depth_)
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
            // An answer ready now is final: its client's next request need not wait for the
            // jobs (the Modbus server sends a connection's answers in the order it asked).
            for (const ReadyAnswer &ready : batch.ready)
                --shares_[static_cast<size_t>(ready.request.source)];
            for (const LineRequest &job : batch.jobs) {
                --shares_[static_cast<size_t>(job.source)];
                onTheLine_.clients.insert(job.client);
                if (job.op == LineOp::WriteRegisters || job.op == LineOp::WriteBits)
                    onTheLine_.writing.insert(job.plc);
            }
            return batch;
        }
        if (now >= until)
            return std::nullopt;
        ready_.wait_until(lock, linger ? std::min(*linger, until) : until);
    }
    return std::nullopt;
}

void LineQueue::Finished() {
    std::lock_guard lock(mutex_);
    onTheLine_ = {};
}

std::optional<ReadyAnswer> LineQueue::TakeAnswered() {
    std::unique_lock lock(mutex_);
    answeredReady_.wait(lock, [&] { return closed_ || !answered_.empty(); });
    if (answered_.empty())
        return std::nullopt;
    ReadyAnswer ready = std::move(answered_.front());
    answered_.pop_front();
    return ready;
}

void LineQueue::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
    answeredReady_.notify_all();
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

size_t LineQueue::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

} // namespace vpisd::gateway
