#include "gateway/mqtt/mqtt_line.h"

#include <algorithm>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);

// The PLCs the line knows: those of its init file, then any other met since.
std::vector<std::string> KnownPlcs(const LineService &line) {
    std::vector<std::string> plcs;
    for (const PlcHealthSnapshot &health : line.health().Snapshot())
        plcs.push_back(health.plc);
    return plcs;
}

// The line has tried to open its device: it is up, reopening, or down with a cause.
bool LineStarted(const LineService &line) {
    const WorkerStatus status = line.Status();
    return status.state != LineState::Down || status.lastError.has_value();
}

} // namespace

MqttLine::MqttLine(std::shared_ptr<const Config> config, size_t line, LineService &service,
                   LinePoller &poller, std::shared_ptr<const DiscoveryPlan> discovery,
                   std::string clientId, MqttStatistics &statistics)
    : mqtt_(*config->mqtt), name_(config->lines[line].name),
      base_(config->mqtt->topicPrefix + "/" + config->lines[line].name),
      clientId_(std::move(clientId)), statistics_(statistics),
      plcStatistics_(PolledPlcs(*config, line), KnownPlcs(service)),
      client_(mqtt_, clientId_, name_, statistics), values_(client_, statistics, plcStatistics_),
      config_(std::move(config)), lineIndex_(line),
      writes_(client_, statistics, plcStatistics_, name_, config_, line),
      topics_(BuildLineTopics(*config_, line)),
      discovery_(client_, mqtt_, name_, std::move(discovery), line) {
    service_ = &service;
    poller_ = &poller;
}

MqttLine::~MqttLine() {
    Stop();
}

bool MqttLine::Start(std::string &error) {
    MqttClient::Handlers handlers;
    handlers.connected = [this] {
        {
            std::lock_guard state(stateMutex_);
            discovery_.Connected();
            client_.Publish(base_ + "/status", "online", true);
            client_.Subscribe(base_ + "/+/+/set");
            client_.Subscribe(base_ + "/+/+/+/set"); // bits and names of two levels
            SubscribeNames();
        }
        std::lock_guard lock(inbox_->mutex);
        inbox_->republish = true;
        inbox_->wake.notify_one();
    };
    handlers.message = [this](const std::string &topic, const std::string &payload) {
        std::optional<SetCommand> command = ParseSetTopic(base_, topic, payload);
        if (!command)
            return; // not a command (the first line also hears the discovery configs)
        {
            std::lock_guard lock(inbox_->mutex);
            if (!inbox_->stop) {
                inbox_->sets.push_back(std::move(*command));
                inbox_->wake.notify_one();
                return;
            }
        }
        // Too late for the line's thread: answered here.
        std::lock_guard state(stateMutex_);
        writes_.Answer(*command, WriteOutcome::Refused, kStopping);
    };
    handlers.retained = [this](const std::string &topic, const std::string &payload) {
        std::lock_guard state(stateMutex_);
        return discovery_.OnRetained(topic, payload);
    };
    if (!client_.Start(base_ + "/status", "offline", std::move(handlers), error))
        return false;
    thread_ = std::thread([this] { Run(); });
    std::lock_guard state(stateMutex_);
    Listen();
    return true;
}

void MqttLine::Listen() {
    // Not the line: the inbox, which outlives it. What the line's thread takes after a reload
    // carries the generation it was read for, and is dropped.
    const auto hand = [inbox = inbox_, generation = generation_](Done done) {
        done.generation = generation;
        Hand(*inbox, std::move(done));
    };
    LinePoller::Listener listener;
    listener.read = [hand](const PolledGroup &group) {
        Done done;
        done.polled = group;
        hand(std::move(done));
    };
    listener.route = [hand](const PolledRoute &route) {
        Done done;
        done.kind = Done::Kind::Route;
        done.route = route;
        hand(std::move(done));
    };
    listener.health = [inbox = inbox_] {
        std::lock_guard lock(inbox->mutex);
        inbox->health = true;
        inbox->wake.notify_one();
    };
    listening_ = poller_->Listen(std::move(listener));
}

bool MqttLine::Hand(Inbox &inbox, Done done) {
    std::lock_guard lock(inbox.mutex);
    if (inbox.stop)
        return false;
    inbox.done.push_back(std::move(done));
    inbox.wake.notify_one();
    return true;
}

void MqttLine::Unlisten() {
    if (listening_)
        poller_->Unlisten(*listening_);
    listening_.reset();
}

// Names of more levels than the fixed patterns reach, under any spelling of the PLC.
void MqttLine::SubscribeNames() {
    for (const auto &[path, target] : topics_.targets) {
        if (std::count(path.begin(), path.end(), '/') > 2)
            client_.Subscribe(base_ + "/+/" + path.substr(path.find('/') + 1) + "/set");
    }
}

void MqttLine::ClearDiscovery(const std::set<std::string> &kept) {
    std::lock_guard state(stateMutex_);
    discovery_.Clear(kept);
}

void MqttLine::Prepare(const std::shared_ptr<const Config> &next, std::optional<size_t> line,
                       bool restarting) {
    std::lock_guard state(stateMutex_);
    if (line)
        writes_.SetRights(next, *line);
    restarting_ = restarting;
}

void MqttLine::Rebind(std::shared_ptr<const Config> config, size_t line, LineService &service,
                      LinePoller &poller, std::shared_ptr<const DiscoveryPlan> discovery) {
    std::lock_guard state(stateMutex_);
    Unlisten();
    LineTopics next = BuildLineTopics(*config, line);
    values_.MarkOffline(Carry(topics_, next));
    discovery_.Rebind(std::move(discovery), line);
    // The old topics point into the old configuration: both go together.
    topics_ = std::move(next);
    config_ = std::move(config);
    lineIndex_ = line;
    service_ = &service;
    poller_ = &poller;
    writes_.SetRights(config_, line);
    restarting_ = false;
    ++generation_; // the answers to the jobs sent before land on nothing
    plcStatistics_.Track(PolledPlcs(*config_, lineIndex_), KnownPlcs(service));
    SubscribeNames();
    // The poller tells the latest rounds, routes and the PLCs' health anew.
    Listen();
}

void MqttLine::Stop() {
    if (!thread_.joinable())
        return;
    std::deque<Done> done;
    std::deque<SetCommand> sets;
    {
        std::lock_guard state(stateMutex_);
        Unlisten();
    }
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->stop = true;
        inbox_->wake.notify_one();
    }
    thread_.join();
    {
        std::lock_guard lock(inbox_->mutex);
        done = std::move(inbox_->done);
        sets = std::move(inbox_->sets);
    }
    {
        std::lock_guard state(stateMutex_);
        // Every command taken gets its result before the connection goes.
        for (Done &write : done) {
            if (write.kind == Done::Kind::Write)
                Finish(write);
        }
        for (const SetCommand &command : sets)
            writes_.Answer(command, WriteOutcome::Refused, kStopping);
        // Nobody watches the PLCs any more: the ones told go offline with the line.
        values_.MarkOffline(topics_.plcStatuses);
    }
    // Not under the state's lock: a command that comes meanwhile is answered on the client's
    // thread, which this waits for.
    client_.Stop(base_ + "/status", "offline");
    writes_.Flush(true);
}

MqttLineSnapshot MqttLine::Status() const {
    MqttLineSnapshot status = client_.Status();
    status.plcs = plcStatistics_.Snapshot();
    return status;
}

void MqttLine::Run() {
    Inbox &inbox = *inbox_;
    std::unique_lock lock(inbox.mutex);
    while (!inbox.stop) {
        if (!inbox.done.empty()) {
            Done done = std::move(inbox.done.front());
            inbox.done.pop_front();
            lock.unlock();
            {
                std::lock_guard state(stateMutex_);
                Finish(done);
            }
            lock.lock();
            continue;
        }
        if (!inbox.sets.empty()) {
            const SetCommand command = std::move(inbox.sets.front());
            inbox.sets.pop_front();
            lock.unlock();
            {
                std::lock_guard state(stateMutex_);
                OnSet(command);
            }
            lock.lock();
            continue;
        }
        if (inbox.republish || inbox.health) {
            const bool all = inbox.republish;
            inbox.republish = inbox.health = false;
            lock.unlock();
            {
                std::lock_guard state(stateMutex_);
                if (all)
                    values_.Republish(topics_, *service_);
                else if (!restarting_) // the old worker's stop says nothing of the PLCs
                    values_.UpdatePlcStatus(topics_.plcStatuses, *service_, false);
            }
            lock.lock();
            continue;
        }
        lock.unlock();
        writes_.Flush(false);
        lock.lock();
        if (inbox.done.empty() && inbox.sets.empty() && !inbox.republish && !inbox.health &&
            !inbox.stop)
            inbox.wake.wait_for(lock, kIdleWait);
    }
}

void MqttLine::Finish(Done &done) {
    // A poll's or route's answer from before a reload: its group may be another one now.
    const bool current = done.generation == generation_;
    switch (done.kind) {
    case Done::Kind::Poll:
        // Nothing is polled for the line while its worker is being replaced.
        if (current && !restarting_ && done.polled.index < topics_.groups.size())
            values_.PollDone(topics_.groups[done.polled.index], done.polled);
        break;
    case Done::Kind::Route:
        for (RouteTopic &route : topics_.routes) {
            if (current && route.plc == done.route.plc)
                values_.RouteRead(route, done.route);
        }
        break;
    case Done::Kind::Write:
        writes_.Finish(done.command, done.answer, !current || restarting_, LineStarted(*service_));
        break;
    }
}

void MqttLine::OnSet(const SetCommand &command) {
    const std::optional<MqttWrites::Write> write = writes_.Take(topics_, command);
    if (!write)
        return;
    if (restarting_) {
        writes_.Answer(command, WriteOutcome::Refused, kRestarting, ShownPayload(command));
        return;
    }
    // Answered on the poller's (or the line's) thread, or here at once when the line's queue
    // does not take it; the answer holds the inbox, not the line.
    auto answered = [inbox = inbox_, command, generation = generation_,
                     line = name_](const WriteAnswer &answer) {
        Done done;
        done.kind = Done::Kind::Write;
        done.generation = generation;
        done.command = command;
        done.answer = answer;
        if (!Hand(*inbox, std::move(done)))
            Log(Level::Warning, line,
                "mqtt write " + command.Path() + " = " + ShownPayload(command) + ": " +
                    OutcomeWord(answer.outcome) +
                    ", after the MQTT side of the line stopped: no result published");
    };
    SubmitWrite(*poller_, write->target, write->raw, Source::Mqtt, std::move(answered));
}

} // namespace vpisd::gateway
