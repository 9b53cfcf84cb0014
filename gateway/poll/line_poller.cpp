#include "gateway/poll/line_poller.h"

#include <algorithm>

namespace vpisd::gateway {
namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);

} // namespace

LinePoller::LinePoller(std::shared_ptr<const Config> config, size_t line, LineService &service,
                       const PollClock &clock)
    : config_(std::move(config)), line_(service), clock_(clock) {
    const TimePoint now = clock_.Now();
    for (const PollConfig &poll : config_->polls) {
        if (poll.line != line)
            continue;
        Group group;
        group.polled.index = groups_.size();
        group.polled.poll = &poll;
        group.polled.values.resize(poll.Values());
        group.due = now;
        groups_.push_back(std::move(group));
        if (std::find(plcs_.begin(), plcs_.end(), poll.plc) != plcs_.end())
            continue;
        plcs_.push_back(poll.plc);
        if (poll.plc != "00") // peer to peer has no route
            routes_.push_back(Route{PolledRoute{poll.plc, 0, {}}, false, false});
    }
}

LinePoller::~LinePoller() {
    Stop();
}

LinePoller::ListenerId LinePoller::Listen(Listener listener) {
    ListenerId id = 0;
    {
        std::lock_guard lock(listenersMutex_);
        id = nextId_++;
        listeners_.push_back({id, std::move(listener), false});
    }
    std::lock_guard lock(inbox_->mutex);
    inbox_->introduce = true;
    inbox_->wake.notify_one();
    return id;
}

void LinePoller::Unlisten(ListenerId id) {
    std::lock_guard lock(listenersMutex_);
    std::erase_if(listeners_, [id](const Listening &l) { return l.id == id; });
}

void LinePoller::Start() {
    if (thread_.joinable())
        return;
    thread_ = std::thread([this] { Run(); });
}

void LinePoller::Stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->stop = true;
        inbox_->wake.notify_one();
    }
    thread_.join();
    // The answers of faces' jobs that came before the stop and were not handed on yet.
    std::deque<Done> left;
    {
        std::lock_guard lock(inbox_->mutex);
        left.swap(inbox_->done);
    }
    for (Done &done : left) {
        if (done.kind == Done::Kind::Job)
            done.then(done.reply);
    }
}

bool LinePoller::Answering(const std::string &plc) const {
    for (const PlcHealthSnapshot &health : line_.health().Snapshot()) {
        if (health.plc == plc)
            return health.state == PlcState::Answering;
    }
    return false;
}

Queued LinePoller::Submit(LineRequest request, std::function<void(const LineReply &)> done) {
    Done pending;
    pending.kind = Done::Kind::Job;
    pending.then = std::move(done);
    if (request.op == LineOp::WriteRegisters || request.op == LineOp::WriteBits)
        pending.readBack = request.plc;
    return SubmitJob(request, std::move(pending));
}

void LinePoller::ReadSoon(const std::string &plc) {
    std::lock_guard lock(inbox_->mutex);
    inbox_->readSoon.push_back(plc);
    inbox_->wake.notify_one();
}

void LinePoller::Run() {
    Inbox &inbox = *inbox_;
    std::unique_lock lock(inbox.mutex);
    while (!inbox.stop) {
        if (inbox.introduce) {
            inbox.introduce = false;
            lock.unlock();
            Introduce();
            lock.lock();
            continue;
        }
        if (!inbox.done.empty()) {
            Done done = std::move(inbox.done.front());
            inbox.done.pop_front();
            lock.unlock();
            Finish(done);
            lock.lock();
            continue;
        }
        const std::vector<std::string> soon = std::move(inbox.readSoon);
        inbox.readSoon.clear();
        lock.unlock();
        const TimePoint now = clock_.Now();
        for (Group &group : groups_) {
            if (std::find(soon.begin(), soon.end(), group.polled.poll->plc) != soon.end())
                group.due = now;
        }
        WatchHealth();
        Schedule(now);
        auto next = now + kIdleWait;
        for (const Group &group : groups_) {
            if (!group.inFlight)
                next = std::min(next, group.due);
        }
        lock.lock();
        if (inbox.done.empty() && inbox.readSoon.empty() && !inbox.introduce && !inbox.stop)
            clock_.WaitUntil(inbox.wake, lock, next);
    }
}

void LinePoller::Finish(Done &done) {
    switch (done.kind) {
    case Done::Kind::Poll: {
        Group &group = groups_[done.index];
        group.inFlight = false;
        PollDone(group, done.reply, done.at);
        break;
    }
    case Done::Kind::Route:
        routes_[done.index].inFlight = false;
        RouteDone(routes_[done.index], done.reply, done.at);
        break;
    case Done::Kind::Job:
        if (!done.readBack.empty() && done.reply.status == LineStatus::Ok)
            ReadSoon(done.readBack); // the new value is published by the next round
        done.then(done.reply);
        break;
    }
}

void LinePoller::Schedule(TimePoint now) {
    for (size_t i = 0; i < groups_.size(); ++i) {
        Group &group = groups_[i];
        if (group.inFlight || now < group.due)
            continue;
        const PollConfig &poll = *group.polled.poll;
        // Rounds keep their rhythm; one that fell behind starts a new one from now.
        group.due = std::max(group.due + std::chrono::milliseconds(poll.intervalMs), now);
        LineRequest request;
        request.source = Source::Mqtt; // the publishing faces' share of the line
        request.op = LineOp::ReadRegisters;
        request.plc = poll.plc;
        request.first = poll.registers.first;
        request.count = poll.registers.form == ValueForm::Bit ? 1 : poll.registers.Registers();
        Done done;
        done.kind = Done::Kind::Poll;
        done.index = i;
        group.inFlight = SubmitJob(request, std::move(done)) == Queued::Taken;
        if (!group.inFlight)
            TellBusy(group);
    }
}

Queued LinePoller::SubmitJob(LineRequest &request, Done done) {
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->stop)
            return Queued::Closed;
    }
    request.queued = std::chrono::steady_clock::now(); // the line's own measure of its queue
    // The answer holds the inbox, not the poller: a poll's that comes after a stop lands unread.
    request.done = [inbox = inbox_, done = std::move(done)](LineReply &&reply) mutable {
        std::unique_lock lock(inbox->mutex);
        if (inbox->stop) {
            lock.unlock();
            // A face's job is answered all the same: its face waits for every answer.
            if (done.kind == Done::Kind::Job)
                done.then(reply);
            return;
        }
        done.reply = std::move(reply);
        done.at = std::chrono::system_clock::now();
        inbox->done.push_back(std::move(done));
        inbox->wake.notify_one();
    };
    return line_.Submit(request);
}

void LinePoller::PollDone(Group &group, const LineReply &reply,
                          std::chrono::system_clock::time_point at) {
    const std::optional<Quality> quality = host::RowFor(kStatusQualities, reply.status).quality;
    if (!quality) {
        TellBusy(group); // not a judgement on the PLC: the next round tries again
        return;
    }
    const PollConfig &poll = *group.polled.poll;
    const host::ValueFormat format = poll.Format();
    const size_t width = host::InfoOf(format.type).words;
    // A group of bits reads the one register they share.
    const size_t step = format.type == host::ValueType::Bit ? 0 : width;
    const std::span<const uint16_t> words(reply.values);
    group.polled.at = at;
    group.polled.quality = quality;
    for (size_t i = 0; i < group.polled.values.size(); ++i) {
        PolledValue &value = group.polled.values[i];
        Quality now = *quality;
        value.number.reset();
        if (now == Quality::Good && words.size() >= step * i + width) {
            const int64_t raw = host::DecodeValue(format, words.subspan(step * i, width));
            value.number = host::ScaledNumber(format, poll.scaling, raw);
            if (value.number)
                value.raw = raw;
            else
                now = Quality::BadValue; // NaN or infinite: no number to publish
        }
        value.quality = now;
    }
    Tell(group.polled);
    ReadRoute(poll.plc);
}

void LinePoller::ReadRoute(const std::string &plc) {
    const auto found = std::find_if(routes_.begin(), routes_.end(),
                                    [&](const Route &route) { return route.polled.plc == plc; });
    if (found == routes_.end() || found->inFlight)
        return;
    LineRequest request;
    request.source = Source::Mqtt; // the publishing faces' share of the line
    request.op = LineOp::ReadRoute;
    request.plc = plc;
    Done done;
    done.kind = Done::Kind::Route;
    done.index = static_cast<size_t>(found - routes_.begin());
    found->inFlight = SubmitJob(request, std::move(done)) == Queued::Taken;
}

void LinePoller::RouteDone(Route &route, const LineReply &reply,
                           std::chrono::system_clock::time_point at) {
    if (reply.status != LineStatus::Ok || reply.values.empty())
        return;
    route.polled.selection = reply.values[0];
    route.polled.at = at;
    route.known = true;
    std::lock_guard lock(listenersMutex_);
    for (const Listening &listening : listeners_) {
        if (listening.told && listening.listener.route)
            listening.listener.route(route.polled);
    }
}

void LinePoller::Tell(const PolledGroup &group) {
    std::lock_guard lock(listenersMutex_);
    for (const Listening &listening : listeners_) {
        // A new listener has this round with the others when it is brought up to date.
        if (listening.told && listening.listener.read)
            listening.listener.read(group);
    }
}

void LinePoller::TellBusy(Group &group) {
    group.polled.busy = true;
    Tell(group.polled);
    group.polled.busy = false;
}

void LinePoller::Introduce() {
    std::lock_guard lock(listenersMutex_);
    for (Listening &listening : listeners_) {
        if (listening.told)
            continue;
        listening.told = true;
        for (Group &group : groups_) {
            if (!group.polled.quality || !listening.listener.read)
                continue;
            group.polled.retold = true;
            listening.listener.read(group.polled);
            group.polled.retold = false;
        }
        for (const Route &route : routes_) {
            if (route.known && listening.listener.route)
                listening.listener.route(route.polled);
        }
        if (listening.listener.health)
            listening.listener.health();
    }
}

void LinePoller::WatchHealth() {
    // The counter first: a change made while the listeners look is seen next time.
    const uint64_t changes = line_.health().changes();
    const WorkerStatus status = line_.Status();
    const bool lineDown = status.state != LineState::Up && status.lastError.has_value();
    if (changes == healthSeen_ && lineDown == lineDownSeen_)
        return;
    healthSeen_ = changes;
    lineDownSeen_ = lineDown;
    std::lock_guard lock(listenersMutex_);
    for (const Listening &listening : listeners_) {
        if (listening.told && listening.listener.health)
            listening.listener.health();
    }
}

} // namespace vpisd::gateway
