#include "gateway/mqtt/mqtt_line.h"

#include <algorithm>

#include "gateway/log.h"
#include "gateway/poll/deadband.h"
#include "gateway/reload_plan.h"

namespace vpisd::gateway {
namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);
constexpr const char *kQueueFull = RefusalReason(Queued::Full);
constexpr const char *kRestarting = RefusalReason(Queued::Closed);
constexpr const char *kStopping = "the MQTT side of the line is stopping";
constexpr const char *kDemoted = "the PLC stopped answering and is demoted: not written";

// The PLCs the line's groups read, in the order the file names them.
std::vector<std::string> PolledPlcs(const Config &config, size_t line) {
    std::vector<std::string> plcs;
    for (const PollConfig &poll : config.polls) {
        if (poll.line == line && std::find(plcs.begin(), plcs.end(), poll.plc) == plcs.end())
            plcs.push_back(poll.plc);
    }
    return plcs;
}

// The PLCs the line's worker knows: those of its init file, then any other met since.
std::vector<std::string> KnownPlcs(const LineWorker &worker) {
    std::vector<std::string> plcs;
    for (const PlcHealthSnapshot &health : worker.health().Snapshot())
        plcs.push_back(health.plc);
    return plcs;
}

// What <plc>/status says of `health` (null: a PLC the line's worker has not met); `lineDown`:
// the line's device could not be opened or was lost. "" for a PLC not asked yet on a line that
// is up (or not tried yet), which is neither answering nor silent: its topic is first published
// with the outcome of its first transaction, so that it does not go offline for a moment at
// every start.
const char *StatusWord(const PlcHealthSnapshot *health, bool lineDown) {
    const PlcState state = health != nullptr ? health->state : PlcState::Unknown;
    switch (state) {
    case PlcState::Answering:
        return "online";
    case PlcState::Silent:
    case PlcState::Demoted:
        return "offline";
    case PlcState::Unknown:
        break;
    }
    // Unknown: the line is down, or came back and has not asked the PLC again yet.
    const bool asked = health != nullptr && (health->lastSuccess || health->lastError);
    return lineDown || asked ? "offline" : "";
}

// The same group wherever its line now stands in the file.
bool SamePoll(PollConfig a, PollConfig b) {
    a.line = b.line = 0;
    return SamePolls({a}, {b});
}

} // namespace

MqttLine::MqttLine(std::shared_ptr<const Config> config, size_t line, LineWorker &worker,
                   LinePoller *poller, std::string clientId, MqttStatistics &statistics)
    : mqtt_(*config->mqtt), name_(config->lines[line].name),
      base_(config->mqtt->topicPrefix + "/" + config->lines[line].name),
      clientId_(std::move(clientId)), statistics_(statistics),
      plcStatistics_(PolledPlcs(*config, line), KnownPlcs(worker)),
      client_(mqtt_, clientId_, name_, statistics), config_(std::move(config)), lineIndex_(line),
      worker_(&worker), poller_(poller) {
    Build();
}

void MqttLine::Build() {
    const Config &config = *config_;
    groups_.clear();
    routes_.clear();
    targets_.clear();
    plcStatuses_.clear();
    discovery_.clear();
    discoveryTopics_.clear();
    for (const PollConfig &poll : config.polls) {
        if (poll.line != lineIndex_)
            continue;
        Group group;
        group.poll = &poll;
        for (size_t i = 0; i < poll.Values(); ++i) {
            Value value;
            value.topic = base_ + "/" + poll.plc + "/" + poll.Level(i);
            group.values.push_back(std::move(value));
            targets_[poll.plc + "/" + poll.Level(i)] = Target{groups_.size(), i, false};
            if (poll.Level(i) != poll.Key(i))
                targets_[poll.plc + "/" + poll.Key(i)] = Target{groups_.size(), i, true};
        }
        groups_.push_back(std::move(group));
        const bool known = std::any_of(routes_.begin(), routes_.end(),
                                       [&](const Route &r) { return r.plc == poll.plc; });
        if (!known && poll.plc != "00") // peer to peer has no route to show
            routes_.push_back(
                Route{poll.plc, base_ + "/" + poll.plc + "/route", {}, "", false, false});
    }
    for (const std::string &plc : PolledPlcs(config, lineIndex_))
        plcStatuses_.push_back({plc, base_ + "/" + plc + "/status", ""});
    for (DiscoveryConfig &discovery : DiscoveryConfigs(config)) {
        discoveryTopics_.insert(discovery.topic);
        if (discovery.line == lineIndex_)
            discovery_.push_back(std::move(discovery));
    }
}

MqttLine::~MqttLine() {
    Stop();
}

bool MqttLine::Start(std::string &error) {
    MqttClient::Handlers handlers;
    handlers.connected = [this] {
        {
            std::lock_guard state(stateMutex_);
            PublishDiscovery();
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
        Answer(*command, WriteOutcome::Refused, kStopping);
    };
    handlers.retained = [this](const std::string &topic, const std::string &payload) {
        std::lock_guard state(stateMutex_);
        return OnRetained(topic, payload);
    };
    if (!client_.Start(base_ + "/status", "offline", std::move(handlers), error))
        return false;
    thread_ = std::thread([this] { Run(); });
    std::lock_guard state(stateMutex_);
    Listen();
    return true;
}

void MqttLine::Listen() {
    if (poller_ == nullptr)
        return;
    // Not the line: the inbox, which outlives it. A round the line's thread takes after a
    // reload carries the generation it was read for, and is dropped.
    listening_ =
        poller_->Listen({[inbox = inbox_, generation = generation_](const PolledGroup &group) {
                             std::lock_guard lock(inbox->mutex);
                             if (inbox->stop)
                                 return;
                             Done done;
                             done.kind = Done::Kind::Poll;
                             done.index = group.index;
                             done.generation = generation;
                             done.polled = group;
                             inbox->done.push_back(std::move(done));
                             inbox->wake.notify_one();
                         },
                         [inbox = inbox_] {
                             std::lock_guard lock(inbox->mutex);
                             inbox->health = true;
                             inbox->wake.notify_one();
                         }});
}

void MqttLine::Unlisten() {
    if (poller_ != nullptr && listening_)
        poller_->Unlisten(*listening_);
    listening_.reset();
}

// Names of more levels than the fixed patterns reach, under any spelling of the PLC.
void MqttLine::SubscribeNames() {
    for (const auto &[path, target] : targets_) {
        if (std::count(path.begin(), path.end(), '/') > 2)
            client_.Subscribe(base_ + "/+/" + path.substr(path.find('/') + 1) + "/set");
    }
}

void MqttLine::PublishDiscovery() {
    if (mqtt_.discoveryPrefix.empty())
        return;
    for (const DiscoveryConfig &discovery : discovery_)
        client_.Publish(discovery.topic, discovery.payload, true);
    // The first line's connection looks for the configs of an earlier run that this one no
    // longer has: the broker hands over what it keeps when the subscription is made.
    if (lineIndex_ == 0)
        client_.Subscribe(DiscoverySubscription(mqtt_));
}

bool MqttLine::OnRetained(const std::string &topic, const std::string &payload) {
    const std::string &prefix = mqtt_.discoveryPrefix;
    if (prefix.empty() || !topic.starts_with(prefix + "/"))
        return false;
    if (!payload.empty() && !discoveryTopics_.contains(topic) &&
        IsOwnDiscoveryConfig(mqtt_, topic, payload)) {
        Log(Level::Info, name_, "mqtt discovery config " + topic + " cleared (no longer polled)");
        client_.Publish(topic, "", true);
    }
    return true;
}

void MqttLine::ClearDiscovery(const std::set<std::string> &kept) {
    std::lock_guard state(stateMutex_);
    for (const DiscoveryConfig &discovery : discovery_) {
        if (kept.contains(discovery.topic))
            continue;
        Log(Level::Info, name_,
            "mqtt discovery config " + discovery.topic + " cleared (no longer polled as it was)");
        client_.Publish(discovery.topic, "", true);
    }
}

void MqttLine::Prepare(const std::shared_ptr<const Config> &next, std::optional<size_t> line,
                       bool restarting) {
    std::lock_guard state(stateMutex_);
    rights_ = next;
    rightsLine_ = line;
    restarting_ = restarting;
}

void MqttLine::Rebind(std::shared_ptr<const Config> config, size_t line, LineWorker &worker,
                      LinePoller *poller) {
    {
        std::lock_guard state(stateMutex_);
        Unlisten();
        const std::vector<Group> oldGroups = std::move(groups_);
        const std::vector<Route> oldRoutes = std::move(routes_);
        const std::vector<PlcStatus> oldStatuses = std::move(plcStatuses_);
        const std::vector<DiscoveryConfig> oldDiscovery = std::move(discovery_);
        const std::shared_ptr<const Config> oldConfig = config_; // oldGroups point into it
        config_ = std::move(config);
        lineIndex_ = line;
        worker_ = &worker;
        poller_ = poller;
        rights_.reset();
        rightsLine_.reset();
        restarting_ = false;
        ++generation_; // the answers to the jobs sent before land on nothing
        Build();
        // A group polled as before keeps its values: only what changes is published again.
        for (Group &group : groups_) {
            const auto same = std::find_if(oldGroups.begin(), oldGroups.end(), [&](const Group &g) {
                return SamePoll(*g.poll, *group.poll);
            });
            if (same == oldGroups.end())
                continue;
            group.values = same->values;
        }
        for (Route &route : routes_) {
            for (const Route &old : oldRoutes) {
                if (old.plc == route.plc) {
                    route.selection = old.selection;
                    route.ts = old.ts;
                    route.sent = old.sent;
                }
            }
        }
        for (PlcStatus &status : plcStatuses_) {
            for (const PlcStatus &old : oldStatuses) {
                if (old.plc == status.plc)
                    status.published = old.published;
            }
        }
        // A PLC no group reads any more is not watched: it goes offline with what it was.
        for (const PlcStatus &old : oldStatuses) {
            const bool kept = std::any_of(plcStatuses_.begin(), plcStatuses_.end(),
                                          [&](const PlcStatus &s) { return s.plc == old.plc; });
            if (!kept && !old.published.empty() && old.published != "offline")
                client_.Publish(old.topic, "offline", true);
        }
        plcStatistics_.Track(PolledPlcs(*config_, lineIndex_), KnownPlcs(worker));
        // Discovery: a config that changed (a PLC made read-only is a sensor, no longer a
        // number) goes out now; one that no line has any more is cleared.
        if (!mqtt_.discoveryPrefix.empty()) {
            for (const DiscoveryConfig &old : oldDiscovery) {
                if (!discoveryTopics_.contains(old.topic)) {
                    Log(Level::Info, name_,
                        "mqtt discovery config " + old.topic +
                            " cleared (no longer polled as it was)");
                    client_.Publish(old.topic, "", true);
                }
            }
            for (const DiscoveryConfig &discovery : discovery_) {
                const bool unchanged =
                    std::any_of(oldDiscovery.begin(), oldDiscovery.end(), [&](const auto &old) {
                        return old.topic == discovery.topic && old.payload == discovery.payload;
                    });
                if (!unchanged)
                    client_.Publish(discovery.topic, discovery.payload, true);
            }
        }
        SubscribeNames();
        // The poller tells the latest rounds and the PLCs' health anew.
        Listen();
    }
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
            Answer(command, WriteOutcome::Refused, kStopping);
        // Nobody watches the PLCs any more: the ones told go offline with the line.
        for (PlcStatus &status : plcStatuses_) {
            if (!status.published.empty() && status.published != "offline")
                client_.Publish(status.topic, "offline", true);
        }
    }
    // Not under the state's lock: a command that comes meanwhile is answered on the client's
    // thread, which this waits for.
    client_.Stop(base_ + "/status", "offline");
    writeLog_.Flush(true);
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
                    Republish();
                else if (!restarting_) // the old worker's stop says nothing of the PLCs
                    UpdatePlcStatus(false);
            }
            lock.lock();
            continue;
        }
        lock.unlock();
        writeLog_.Flush(false);
        lock.lock();
        if (inbox.done.empty() && inbox.sets.empty() && !inbox.republish && !inbox.health &&
            !inbox.stop)
            inbox.wake.wait_for(lock, kIdleWait);
    }
}

Queued MqttLine::SubmitJob(LineRequest &request, Done::Kind kind, size_t index,
                           const SetCommand *command, std::string shown) {
    request.queued = Clock::now();
    Done pending{
        kind, index, generation_, request.plc, command ? *command : SetCommand{}, std::move(shown),
        {},   {}};
    request.done = [inbox = inbox_, pending = std::move(pending),
                    line = name_](LineReply &&reply) mutable {
        std::lock_guard lock(inbox->mutex);
        if (inbox->stop) {
            if (pending.kind == Done::Kind::Write)
                Log(Level::Warning, line,
                    "mqtt write " + pending.command.Path() + " = " + pending.shown + ": " +
                        OutcomeWord(host::RowFor(kStatusWrites, reply.status).outcome) +
                        ", after the MQTT side of the line stopped: no result published");
            return;
        }
        pending.reply = std::move(reply);
        pending.at = std::chrono::system_clock::now();
        inbox->done.push_back(std::move(pending));
        inbox->wake.notify_one();
    };
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->stop)
            return Queued::Closed;
    }
    return worker_->Submit(request);
}

void MqttLine::Finish(Done &done) {
    const std::string ts = TimeStamp(done.at);
    // A poll's or route's answer from before a reload: its group may be another one now.
    const bool current = done.generation == generation_;
    switch (done.kind) {
    case Done::Kind::Poll: {
        // Nothing is polled for the line while its worker is being replaced.
        if (!current || restarting_ || done.index >= groups_.size())
            break;
        Group &group = groups_[done.index];
        PollDone(group, done.polled);
        if (done.polled.busy)
            break;
        // The route is read after every round of a PLC: it costs no traffic on the line. A
        // round told again is no new round, unless the route is not known yet.
        for (size_t i = 0; i < routes_.size(); ++i) {
            Route &route = routes_[i];
            if (route.plc != group.poll->plc || route.inFlight ||
                (done.polled.retold && route.selection))
                continue;
            LineRequest request;
            request.source = Source::Mqtt;
            request.op = LineOp::ReadRoute;
            request.plc = route.plc;
            route.inFlight = SubmitJob(request, Done::Kind::Route, i) == Queued::Taken;
        }
        break;
    }
    case Done::Kind::Route:
        if (!current)
            break;
        routes_[done.index].inFlight = false;
        RouteDone(routes_[done.index], done.reply, ts);
        break;
    case Done::Kind::Write: {
        const StatusWrite &answer = host::RowFor(kStatusWrites, done.reply.status);
        std::string reason = done.reply.demoted ? kDemoted : answer.reason;
        // Cancelled by a worker a reload replaces: the line is restarting, not busy.
        if (done.reply.status == LineStatus::Cancelled && (!current || restarting_))
            reason = kRestarting;
        Answer(done.command, answer.outcome, reason, done.shown);
        if (answer.outcome != WriteOutcome::Ok)
            break;
        // Show the new value soon: the groups of that PLC read again now.
        if (poller_ != nullptr)
            poller_->ReadSoon(done.plc);
        break;
    }
    }
}

void MqttLine::PollDone(Group &group, const PolledGroup &polled) {
    if (polled.busy) {
        ++statistics_.pollsBusy;
        return; // not a judgement on the PLC: the next round tries again
    }
    const Quality quality = *polled.quality;
    if (!polled.retold)
        CountPoll(group.poll->plc, quality);
    const std::string ts = TimeStamp(polled.at);
    const PollConfig &poll = *group.poll;
    const bool always = poll.publish == PublishMode::Always;
    for (size_t i = 0; i < group.values.size() && i < polled.values.size(); ++i) {
        Value &value = group.values[i];
        const PolledValue &read = polled.values[i];
        const std::optional<Quality> before = value.quality;
        const Quality now = read.quality.value_or(quality);
        if (read.raw)
            value.value = read.raw;
        value.quality = now;
        value.ts = ts;
        bool publish = before != now; // a change of quality is always told
        if (!publish && now == Quality::Good && read.number) {
            // on_change: a change beyond the deadband from the number last published.
            publish = always || !value.published ||
                      BeyondDeadband(*read.number, *value.published, poll.deadband);
        }
        if (publish && read.number)
            value.published = read.number;
        Send(group, value, publish);
    }
}

void MqttLine::CountPoll(const std::string &plc, Quality quality) {
    switch (quality) {
    case Quality::Good:
    case Quality::BadValue: // judged per value
        ++statistics_.pollsOk;
        break;
    case Quality::Refused:
        ++statistics_.pollsRefused;
        break;
    case Quality::NoAnswer:
        ++statistics_.pollsNoAnswer;
        break;
    }
    plcStatistics_.CountPoll(plc, quality);
}

void MqttLine::RouteDone(Route &route, const LineReply &reply, const std::string &ts) {
    if (reply.status != LineStatus::Ok || reply.values.empty())
        return;
    const bool changed = route.selection != reply.values[0];
    route.selection = reply.values[0];
    route.ts = ts;
    if (changed || !route.sent)
        route.sent = client_.Publish(route.topic, RoutePayload(*route.selection, ts), true);
}

std::string MqttLine::Payload(const Group &group, const Value &value) const {
    // A failed read keeps the last good value beside its quality; a bad value has none.
    std::optional<std::string> number;
    if (value.value && value.quality != Quality::BadValue)
        number = host::ScaledText(group.poll->Format(), group.poll->scaling, *value.value);
    return ValuePayload(number, value.ts, *value.quality);
}

void MqttLine::Send(const Group &group, Value &value, bool publish) {
    if (!publish && value.sent)
        return;
    // Unsent values (the broker was away) go out with the next round or at the reconnect.
    value.sent = client_.Publish(value.topic, Payload(group, value), true);
}

void MqttLine::Republish() {
    // After a (re)connect: the broker may have lost the retained messages, and a subscriber
    // must not keep a stale value without knowing.
    UpdatePlcStatus(true);
    for (Group &group : groups_) {
        for (Value &value : group.values) {
            if (value.quality)
                value.sent = client_.Publish(value.topic, Payload(group, value), true);
        }
    }
    for (Route &route : routes_) {
        if (route.selection)
            route.sent =
                client_.Publish(route.topic, RoutePayload(*route.selection, route.ts), true);
    }
}

void MqttLine::UpdatePlcStatus(bool all) {
    const WorkerStatus worker = worker_->Status();
    // Down with a cause: not merely not opened yet.
    const bool lineDown = worker.state != LineState::Up && worker.lastError.has_value();
    const std::vector<PlcHealthSnapshot> health = worker_->health().Snapshot();
    for (PlcStatus &status : plcStatuses_) {
        const auto found =
            std::find_if(health.begin(), health.end(),
                         [&](const PlcHealthSnapshot &h) { return h.plc == status.plc; });
        const std::string word = StatusWord(found == health.end() ? nullptr : &*found, lineDown);
        if (word.empty() || (word == status.published && !all))
            continue;
        // Not connected: the word goes out with the others at the reconnect.
        client_.Publish(status.topic, word, true);
        status.published = word;
    }
}

bool MqttLine::WriteAllowed(const std::string &plc) const {
    // A PLC that a read-only Modbus unit serves is read-only on MQTT too; from a reload's
    // Prepare on, by the new configuration's rights.
    if (rights_ && rightsLine_)
        return !PlcReadOnly(*rights_, *rightsLine_, plc);
    return !PlcReadOnly(*config_, lineIndex_, plc);
}

void MqttLine::Answer(const SetCommand &command, WriteOutcome outcome, const std::string &reason,
                      const std::string &shown) {
    statistics_.CountWrite(outcome);
    plcStatistics_.CountWrite(command.plc, outcome);
    // "P1/101 = 250: ok"
    const std::string what = command.Path() + (shown.empty() ? "" : " = " + shown);
    const std::string text = "mqtt write " + what + ": " + OutcomeWord(outcome) +
                             (reason.empty() ? "" : " (" + reason + ")");
    if (outcome == WriteOutcome::Ok) {
        Log(Level::Info, name_, text);
    } else {
        // A flood of writes that fail alike costs a line a minute per PLC; each still has its
        // result on its topic.
        const bool ownKind = reason == kQueueFull || reason == kRestarting || reason == kStopping;
        const std::string kind = std::string("mqtt write ") + OutcomeWord(outcome) +
                                 (ownKind ? " (" + reason + ")" : std::string());
        writeLog_.Note(Level::Warning, name_, command.plc + " " + kind, text,
                       {kind + ":", "to " + command.plc});
    }
    if (!reason.empty())
        client_.Publish(command.topic + "/reason", reason, false);
    client_.Publish(command.topic + "/result", OutcomeWord(outcome), false);
}

// What the command names: a value a group polls (by its name, or its key when it has none),
// else a register, pair or bit by its key.
std::optional<WriteTarget> MqttLine::Resolve(const SetCommand &command,
                                             std::string &refusal) const {
    const std::string path = command.Path();
    if (const auto target = targets_.find(path); target != targets_.end()) {
        const PollConfig &poll = *groups_[target->second.group].poll;
        const std::string level = poll.Level(target->second.value);
        if (target->second.byKeyOfNamed) {
            refusal = "\"" + path + "\" is named \"" + level + "\": set it on " + base_ + "/" +
                      command.plc + "/" + level + "/set";
            return std::nullopt;
        }
        return WriteTarget{command.plc, poll.RegisterOf(target->second.value), poll.Format(),
                           poll.scaling};
    }
    const std::optional<PollRegisters> registers = ParseValueName(command.value);
    if (command.plc.size() != 2 || !registers) {
        refusal =
            "\"" + path + "\" names no value: expected PLC/100, PLC/101F, PLC/100/3 or a name";
        return std::nullopt;
    }
    return WriteTarget{command.plc, registers->first, FormatOf(*registers), {}};
}

void MqttLine::SubmitWrite(const SetCommand &command, LineRequest &request,
                           const std::string &shown) {
    if (restarting_) {
        Answer(command, WriteOutcome::Refused, kRestarting, shown);
        return;
    }
    // A queue that fills while a new worker has not opened its line yet fills because the line
    // is restarting.
    const Queued queued = SubmitJob(request, Done::Kind::Write, 0, &command, shown);
    if (queued != Queued::Taken)
        Answer(command, WriteOutcome::Refused,
               queued == Queued::Full && worker_->started() ? kQueueFull : kRestarting, shown);
}

void MqttLine::OnSet(const SetCommand &command) {
    std::string refusal;
    const std::optional<WriteTarget> target = Resolve(command, refusal);
    if (!target) {
        Answer(command, WriteOutcome::Refused, refusal);
        return;
    }
    if (!WriteAllowed(target->plc)) {
        Answer(command, WriteOutcome::ReadOnly, "");
        return;
    }
    const SetValue set = ParseSetPayload(command.payload, target->format, target->scaling);
    if (!set.value) {
        Answer(command, WriteOutcome::Refused, set.reason);
        return;
    }
    LineRequest request = WriteRequest(*target, *set.value, Source::Mqtt);
    SubmitWrite(command, request,
                command.payload.substr(0, std::min<size_t>(command.payload.size(), 40)));
}

} // namespace vpisd::gateway
