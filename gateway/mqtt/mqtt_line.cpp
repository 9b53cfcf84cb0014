#include "gateway/mqtt/mqtt_line.h"

#include <algorithm>
#include <cmath>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);
constexpr std::string_view kSet = "/set";
constexpr const char *kQueueFull = "the line's queue is full";
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

} // namespace

MqttLine::MqttLine(const Config &config, size_t line, LineWorker &worker, std::string clientId,
                   MqttStatistics &statistics)
    : config_(config), lineIndex_(line), line_(config.lines[line]),
      base_(config.mqtt->topicPrefix + "/" + config.lines[line].name), worker_(worker),
      statistics_(statistics), plcStatistics_(PolledPlcs(config, line), KnownPlcs(worker)),
      client_(*config.mqtt, std::move(clientId), config.lines[line].name, statistics) {
    const auto now = Clock::now();
    for (const PollConfig &poll : config.polls) {
        if (poll.line != line)
            continue;
        Group group;
        group.poll = &poll;
        group.due = now;
        for (size_t i = 0; i < poll.Values(); ++i) {
            Value value;
            value.topic = base_ + "/" + poll.plc + "/" + poll.Level(i);
            group.values.push_back(std::move(value));
            const Target target{groups_.size(), i, false};
            targets_[poll.plc + "/" + poll.Level(i)] = target;
            if (poll.Level(i) != poll.Key(i))
                targets_[poll.plc + "/" + poll.Key(i)] = Target{groups_.size(), i, true};
        }
        groups_.push_back(std::move(group));
        const bool known = std::any_of(routes_.begin(), routes_.end(),
                                       [&](const Route &r) { return r.plc == poll.plc; });
        if (!known && poll.plc != "00") // peer to peer has no route to show
        {
            Route route;
            route.plc = poll.plc;
            route.topic = base_ + "/" + poll.plc + "/route";
            routes_.push_back(std::move(route));
        }
    }
    for (const std::string &plc : PolledPlcs(config, line))
        plcStatuses_.push_back({plc, base_ + "/" + plc + "/status", ""});
    for (DiscoveryConfig &discovery : DiscoveryConfigs(config)) {
        discoveryTopics_.insert(discovery.topic);
        if (discovery.line == line)
            discovery_.push_back(std::move(discovery));
    }
}

MqttLine::~MqttLine() {
    Stop();
}

bool MqttLine::Start(std::string &error) {
    MqttClient::Handlers handlers;
    handlers.connected = [this] {
        PublishDiscovery();
        client_.Publish(base_ + "/status", "online", true);
        client_.Subscribe(base_ + "/+/+/set");
        client_.Subscribe(base_ + "/+/+/+/set"); // bits and names of two levels
        for (const auto &[path, target] : targets_) {
            // Names of more levels than the patterns above reach, under any spelling of the PLC.
            if (std::count(path.begin(), path.end(), '/') > 2)
                client_.Subscribe(base_ + "/+/" + path.substr(path.find('/') + 1) + "/set");
        }
        std::lock_guard lock(inbox_->mutex);
        inbox_->republish = true;
        inbox_->wake.notify_one();
    };
    handlers.message = [this](const std::string &topic, const std::string &payload) {
        OnSet(topic, payload);
    };
    handlers.retained = [this](const std::string &topic, const std::string &payload) {
        return OnRetained(topic, payload);
    };
    if (!client_.Start(base_ + "/status", "offline", std::move(handlers), error))
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttLine::PublishDiscovery() {
    if (config_.mqtt->discoveryPrefix.empty())
        return;
    for (const DiscoveryConfig &discovery : discovery_)
        client_.Publish(discovery.topic, discovery.payload, true);
    // The first line's connection looks for the configs of an earlier run that this one no
    // longer has: the broker hands over what it keeps when the subscription is made.
    if (lineIndex_ == 0)
        client_.Subscribe(DiscoverySubscription(*config_.mqtt));
}

bool MqttLine::OnRetained(const std::string &topic, const std::string &payload) {
    const std::string &prefix = config_.mqtt->discoveryPrefix;
    if (prefix.empty() || !topic.starts_with(prefix + "/"))
        return false;
    if (!payload.empty() && !discoveryTopics_.contains(topic) &&
        IsOwnDiscoveryConfig(*config_.mqtt, topic, payload)) {
        Log(Level::Info, line_.name,
            "mqtt discovery config " + topic + " cleared (no longer polled)");
        client_.Publish(topic, "", true);
    }
    return true;
}

void MqttLine::Stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->stop = true;
        inbox_->wake.notify_one();
    }
    thread_.join();
    // Nobody watches the PLCs any more: the ones told go offline with the line.
    for (PlcStatus &status : plcStatuses_) {
        if (!status.published.empty() && status.published != "offline")
            client_.Publish(status.topic, "offline", true);
    }
    client_.Stop(base_ + "/status", "offline");
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
            Finish(done);
            lock.lock();
            continue;
        }
        if (inbox.republish) {
            inbox.republish = false;
            lock.unlock();
            Republish();
            lock.lock();
            continue;
        }
        lock.unlock();
        writeLog_.Flush(false);
        UpdatePlcStatus(false);
        const auto now = Clock::now();
        Schedule(now);
        auto next = now + kIdleWait;
        for (const Group &group : groups_) {
            if (!group.inFlight)
                next = std::min(next, group.due);
        }
        lock.lock();
        if (inbox.done.empty() && !inbox.republish && !inbox.stop)
            inbox.wake.wait_until(lock, next);
    }
}

void MqttLine::Schedule(Clock::time_point now) {
    for (size_t i = 0; i < groups_.size(); ++i) {
        Group &group = groups_[i];
        if (group.inFlight || now < group.due)
            continue;
        const auto interval = std::chrono::milliseconds(group.poll->intervalMs);
        // Rounds keep their rhythm; one that fell behind starts a new one from now.
        group.due = std::max(group.due + interval, now);
        LineRequest request;
        request.source = Source::Mqtt;
        request.op = LineOp::ReadRegisters;
        request.plc = group.poll->plc;
        request.first = group.poll->registers.first;
        request.count = group.poll->registers.Registers();
        if (group.poll->registers.form == ValueForm::Bit)
            request.count = 1;
        group.inFlight = SubmitJob(request, Done::Kind::Poll, i);
        if (!group.inFlight)
            ++statistics_.pollsBusy;
    }
}

bool MqttLine::SubmitJob(LineRequest &request, Done::Kind kind, size_t index, std::string topic,
                         std::string shown) {
    request.queued = Clock::now();
    request.done = [inbox = inbox_, kind, index, plc = request.plc, topic = std::move(topic),
                    shown = std::move(shown)](LineReply &&reply) {
        std::lock_guard lock(inbox->mutex);
        if (inbox->stop)
            return;
        inbox->done.push_back(Done{kind, index, plc, topic, shown, std::move(reply),
                                   std::chrono::system_clock::now()});
        inbox->wake.notify_one();
    };
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->stop)
            return false;
    }
    return worker_.Submit(request);
}

void MqttLine::Finish(Done &done) {
    const std::string ts = TimeStamp(done.at);
    switch (done.kind) {
    case Done::Kind::Poll: {
        Group &group = groups_[done.index];
        group.inFlight = false;
        PollDone(group, done.reply, ts);
        // The route is read after every round of a PLC: it costs no traffic on the line.
        for (size_t i = 0; i < routes_.size(); ++i) {
            Route &route = routes_[i];
            if (route.plc != group.poll->plc || route.inFlight)
                continue;
            LineRequest request;
            request.source = Source::Mqtt;
            request.op = LineOp::ReadRoute;
            request.plc = route.plc;
            route.inFlight = SubmitJob(request, Done::Kind::Route, i);
        }
        break;
    }
    case Done::Kind::Route:
        routes_[done.index].inFlight = false;
        RouteDone(routes_[done.index], done.reply, ts);
        break;
    case Done::Kind::Write: {
        const StatusWrite &answer = host::RowFor(kStatusWrites, done.reply.status);
        Answer(done.topic, answer.outcome, done.reply.demoted ? kDemoted : answer.reason,
               done.shown);
        if (answer.outcome != WriteOutcome::Ok)
            break;
        // Show the new value soon: the groups of that PLC read again now.
        for (Group &group : groups_) {
            if (group.poll->plc == done.plc)
                group.due = Clock::now();
        }
        break;
    }
    }
}

void MqttLine::PollDone(Group &group, const LineReply &reply, const std::string &ts) {
    const std::optional<Quality> quality = host::RowFor(kStatusQualities, reply.status).quality;
    if (!quality) {
        ++statistics_.pollsBusy;
        return; // not a judgement on the PLC: the next round tries again
    }
    switch (*quality) {
    case Quality::Good:
    case Quality::BadValue: // judged per value below
        ++statistics_.pollsOk;
        break;
    case Quality::Refused:
        ++statistics_.pollsRefused;
        break;
    case Quality::NoAnswer:
        ++statistics_.pollsNoAnswer;
        break;
    }
    plcStatistics_.CountPoll(group.poll->plc, *quality);
    const PollConfig &poll = *group.poll;
    const host::ValueFormat format = poll.Format();
    const size_t width = host::InfoOf(format.type).words;
    // A group of bits reads the one register they share.
    const size_t step = format.type == host::ValueType::Bit ? 0 : width;
    const std::span<const uint16_t> words(reply.values);
    const bool always = poll.publish == PublishMode::Always;
    for (size_t i = 0; i < group.values.size(); ++i) {
        Value &value = group.values[i];
        const std::optional<Quality> before = value.quality;
        Quality now = *quality;
        std::optional<double> number;
        if (now == Quality::Good && words.size() >= step * i + width) {
            const int64_t raw = host::DecodeValue(format, words.subspan(step * i, width));
            number = host::ScaledNumber(format, poll.scaling, raw);
            if (number)
                value.value = raw;
            else
                now = Quality::BadValue; // NaN or infinite: no number to publish
        }
        value.quality = now;
        value.ts = ts;
        bool publish = before != now; // a change of quality is always told
        if (!publish && now == Quality::Good) {
            // on_change: a change beyond the deadband from the number last published.
            publish = always || !value.published ||
                      (poll.deadband > 0 ? std::fabs(*number - *value.published) > poll.deadband
                                         : *number != *value.published);
        }
        if (publish && number)
            value.published = number;
        Send(group, value, publish);
    }
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
    // The counter first: a change made while the snapshot is taken is looked at next time.
    const uint64_t changes = worker_.health().changes();
    const WorkerStatus worker = worker_.Status();
    // Down with a cause: not merely not opened yet.
    const bool lineDown = worker.state != LineState::Up && worker.lastError.has_value();
    if (!all && changes == healthSeen_ && lineDown == lineDownSeen_)
        return;
    healthSeen_ = changes;
    lineDownSeen_ = lineDown;
    const std::vector<PlcHealthSnapshot> health = worker_.health().Snapshot();
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

bool MqttLine::ReadOnly(const std::string &plc) const {
    // A PLC that a read-only Modbus unit serves is read-only on MQTT too.
    std::lock_guard lock(rightsMutex_);
    return PlcReadOnly(rights_ ? *rights_ : config_, lineIndex_, plc);
}

void MqttLine::SetWriteRights(std::shared_ptr<const Config> config) {
    std::lock_guard lock(rightsMutex_);
    rights_ = std::move(config);
}

void MqttLine::Answer(const std::string &setTopic, WriteOutcome outcome, const std::string &reason,
                      const std::string &shown) {
    statistics_.CountWrite(outcome);
    // "P1/101 = 250: ok"
    const std::string path =
        setTopic.substr(base_.size() + 1, setTopic.size() - base_.size() - 1 - kSet.size());
    plcStatistics_.CountWrite(host::PlcName(path.substr(0, path.find('/'))), outcome);
    const std::string what = path + (shown.empty() ? "" : " = " + shown);
    const std::string text = "mqtt write " + what + ": " + OutcomeWord(outcome) +
                             (reason.empty() ? "" : " (" + reason + ")");
    if (outcome == WriteOutcome::Ok) {
        Log(Level::Info, line_.name, text);
    } else {
        // A flood of writes that fail alike costs a line a minute per PLC; each still has its
        // result on its topic.
        const std::string plc = what.substr(0, what.find('/'));
        const std::string kind = std::string("mqtt write ") + OutcomeWord(outcome) +
                                 (reason == kQueueFull ? std::string(" (") + kQueueFull + ")" : "");
        writeLog_.Note(Level::Warning, line_.name, plc + " " + kind, text,
                       {kind + ":", "to " + plc});
    }
    if (!reason.empty())
        client_.Publish(setTopic + "/reason", reason, false);
    client_.Publish(setTopic + "/result", OutcomeWord(outcome), false);
}

void MqttLine::OnSet(const std::string &topic, const std::string &payload) {
    // <base>/<plc>/<value>/set
    if (topic.size() <= base_.size() + kSet.size() + 1 ||
        topic.compare(0, base_.size(), base_) != 0 ||
        topic.compare(topic.size() - kSet.size(), kSet.size(), kSet) != 0)
        return;
    std::string path =
        topic.substr(base_.size() + 1, topic.size() - base_.size() - 1 - kSet.size());
    const size_t slash = path.find('/');
    // The PLC level is the name the way the driver matches it: "p2" is P2 here, as on the line.
    const std::string plc = host::PlcName(path.substr(0, slash));
    path.replace(0, plc.size(), plc);
    host::ValueFormat format;
    host::Scaling scaling;
    uint16_t first = 0;
    if (const auto target = targets_.find(path); target != targets_.end()) {
        const PollConfig &poll = *groups_[target->second.group].poll;
        if (target->second.byKeyOfNamed) {
            Answer(topic, WriteOutcome::Refused,
                   "\"" + path + "\" is named \"" + poll.Level(target->second.value) +
                       "\": set it on " + base_ + "/" + plc + "/" +
                       poll.Level(target->second.value) + "/set");
            return;
        }
        format = poll.Format();
        scaling = poll.scaling;
        first = poll.RegisterOf(target->second.value);
    } else {
        const std::optional<PollRegisters> registers =
            slash == std::string::npos ? std::nullopt : ParseValueName(path.substr(slash + 1));
        if (plc.size() != 2 || !registers) {
            Answer(topic, WriteOutcome::Refused,
                   "\"" + path +
                       "\" names no value: expected PLC/100, PLC/101F, PLC/100/3 or a name");
            return;
        }
        format = FormatOf(*registers);
        first = registers->first;
    }
    if (ReadOnly(plc)) {
        Answer(topic, WriteOutcome::ReadOnly, "");
        return;
    }
    const SetValue set = ParseSetPayload(payload, format, scaling);
    if (!set.value) {
        Answer(topic, WriteOutcome::Refused, set.reason);
        return;
    }
    std::string shown(payload.substr(0, std::min<size_t>(payload.size(), 40)));
    LineRequest request;
    request.source = Source::Mqtt;
    request.plc = plc;
    request.first = first;
    if (format.type == host::ValueType::Bit) {
        // A masked write of the one bit, never a read-modify-write of its register.
        request.op = LineOp::WriteBits;
        request.bits = {BitWrite{first, format.bit, *set.value != 0}};
    } else {
        // A 32-bit value's two words go in one write, in the group's word order.
        request.op = LineOp::WriteRegisters;
        request.values.resize(host::InfoOf(format.type).words);
        host::EncodeValue(format, *set.value, request.values);
    }
    if (!SubmitJob(request, Done::Kind::Write, 0, topic, shown))
        Answer(topic, WriteOutcome::Refused, kQueueFull, shown);
}

} // namespace vpisd::gateway
