#include "gateway/lines/line_queue.h"

namespace vpisd::gateway {
namespace {

std::pair<Source, uint64_t> ShareOf(const LineRequest &request) {
    return {request.source, request.source == Source::Modbus ? request.client : 0};
}

} // namespace

void LineQueue::Release(const LineRequest &request) {
    const auto found = shares_.find(ShareOf(request));
    if (found != shares_.end() && --found->second == 0)
        shares_.erase(found);
}

Queued LineQueue::Push(LineRequest &request, LineScheduler &scheduler) {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return Queued::Closed;
        ReadyAnswer ready;
        if (scheduler.AnswerAtOnce(request, waiting_, onTheLine_, std::chrono::steady_clock::now(),
                                   ready)) {
            ready.request = std::move(request);
            answered_.push_back(std::move(ready));
            answeredReady_.notify_one();
            return Queued::Taken;
        }
        size_t &share = shares_[ShareOf(request)];
        if (share >= depth_)
            return Queued::Full;
        ++share;
        waiting_.push_back(std::move(request));
    }
    ready_.notify_one();
    return Queued::Taken;
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
                Release(ready.request);
            for (const LineRequest &job : batch.jobs) {
                Release(job);
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
    shares_.clear();
    return all;
}

size_t LineQueue::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

} // namespace vpisd::gateway
