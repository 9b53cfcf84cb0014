#include "fake_line.h"

#include <algorithm>
#include <thread>

namespace vpisd::gateway::test {

FakeLine::FakeLine(std::string name) : name_(std::move(name)), health_(name_, DemotionPolicy{}) {
    status_.state = LineState::Up;
}

Queued FakeLine::Submit(LineRequest &request) {
    LineReply reply;
    {
        std::lock_guard lock(mutex_);
        if (queued_ != Queued::Taken)
            return queued_;
        reply = Answer(request);
        LineRequest job = request;
        job.done = nullptr;
        jobs_.push_back(std::move(job));
        if (holding_) {
            held_.emplace_back(std::move(request), std::move(reply));
            return Queued::Taken;
        }
    }
    Deliver(request, std::move(reply));
    return Queued::Taken;
}

void FakeLine::Hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
}

void FakeLine::Release() {
    std::vector<std::pair<LineRequest, LineReply>> held;
    {
        std::lock_guard lock(mutex_);
        holding_ = false;
        held.swap(held_);
    }
    for (auto &[request, reply] : held)
        Deliver(request, std::move(reply));
}

void FakeLine::Deliver(LineRequest &request, LineReply &&reply) {
    const auto now = PlcHealth::Clock::now();
    if (reply.status == LineStatus::NoAnswer)
        health_.Unanswered(request.plc, false, "no_answer", now);
    else if (reply.status == LineStatus::Ok || reply.status == LineStatus::Refused)
        health_.Answered(request.plc, now);
    else if (reply.status == LineStatus::LineDown)
        health_.LineDown();
    // Taken: the request's `done` is the line's now, and called outside the line's lock.
    auto done = std::move(request.done);
    done(std::move(reply));
}

LineReply FakeLine::Answer(const LineRequest &request) {
    LineReply reply;
    if (const auto scripted = scripted_.find(request.plc); scripted != scripted_.end()) {
        reply.status = scripted->second.first;
        reply.demoted = scripted->second.second;
    }
    if (reply.status != LineStatus::Ok)
        return reply;
    switch (request.op) {
    case LineOp::ReadRegisters:
        for (uint16_t i = 0; i < request.count; ++i) {
            const auto found = registers_.find({request.plc, uint16_t(request.first + i)});
            reply.values.push_back(found == registers_.end() ? 0 : found->second);
        }
        break;
    case LineOp::WriteRegisters:
        for (size_t i = 0; i < request.values.size(); ++i)
            registers_[{request.plc, uint16_t(request.first + i)}] = request.values[i];
        break;
    case LineOp::WriteBits:
        for (const BitWrite &bit : request.bits) {
            uint16_t &word = registers_[{request.plc, bit.reg}];
            const auto mask = static_cast<uint16_t>(1u << bit.bit);
            word = static_cast<uint16_t>(bit.on ? word | mask : word & ~mask);
        }
        break;
    case LineOp::ReadRoute: {
        const auto found = routes_.find(request.plc);
        reply.values.push_back(found == routes_.end() ? 0 : found->second);
        break;
    }
    }
    return reply;
}

WorkerStatus FakeLine::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void FakeLine::SetRegister(const std::string &plc, uint16_t reg, uint16_t value) {
    std::lock_guard lock(mutex_);
    registers_[{plc, reg}] = value;
}

uint16_t FakeLine::Register(const std::string &plc, uint16_t reg) const {
    std::lock_guard lock(mutex_);
    const auto found = registers_.find({plc, reg});
    return found == registers_.end() ? 0 : found->second;
}

void FakeLine::SetRoute(const std::string &plc, uint16_t selection) {
    std::lock_guard lock(mutex_);
    routes_[plc] = selection;
}

void FakeLine::AnswerWith(const std::string &plc, LineStatus status, bool demoted) {
    std::lock_guard lock(mutex_);
    scripted_[plc] = {status, demoted};
}

void FakeLine::Refuse(Queued queued) {
    std::lock_guard lock(mutex_);
    queued_ = queued;
}

std::vector<LineRequest> FakeLine::Jobs() const {
    std::lock_guard lock(mutex_);
    return jobs_;
}

size_t FakeLine::Count(LineOp op, const std::string &plc) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(jobs_.begin(), jobs_.end(),
                      [&](const LineRequest &job) { return job.op == op && job.plc == plc; }));
}

bool FakeLine::WaitForCount(LineOp op, const std::string &plc, size_t count,
                            std::chrono::milliseconds limit) const {
    return WaitUntil([&] { return Count(op, plc) >= count; }, limit);
}

PollClock::TimePoint ManualPollClock::Now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualPollClock::WaitUntil(std::condition_variable &wake, std::unique_lock<std::mutex> &lock,
                                TimePoint until) const {
    // The test moves the time without the waiter's lock: look again every millisecond.
    if (Now() < until)
        wake.wait_for(lock, std::chrono::milliseconds(1));
}

void ManualPollClock::Advance(std::chrono::milliseconds by) {
    std::lock_guard lock(mutex_);
    now_ += by;
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace vpisd::gateway::test
