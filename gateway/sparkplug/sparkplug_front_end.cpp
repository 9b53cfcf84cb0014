#include "gateway/sparkplug/sparkplug_front_end.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

#include "gateway/log.h"
#include "gateway/poll/quality.h"
#include "gateway/sparkplug/sparkplug_metrics.h"
#include "gateway/write_command.h"
#include "host/endpoint.h"

namespace vpisd::gateway {
namespace {

using namespace sparkplug;

constexpr const char *kLog = "sparkplug";

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

uint64_t Ms(std::chrono::system_clock::time_point at) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count());
}

// The message type of a Sparkplug topic: "spBv1.0/<group>/<type>/..." or "spBv1.0/STATE/...".
std::string TypeOf(const std::string &topic) {
    const size_t first = topic.find('/');
    const size_t second = topic.find('/', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return "";
    if (topic.compare(first + 1, second - first - 1, "STATE") == 0)
        return "STATE";
    const size_t third = topic.find('/', second + 1);
    return topic.substr(second + 1,
                        third == std::string::npos ? std::string::npos : third - second - 1);
}

// The bdSeq of the edge node's latest session in this process: a Sparkplug side that a reload
// starts goes on from the one the reload stopped, so that a host never sees a bdSeq again.
class LastSession {
  public:
    void Remember(uint8_t bdSeq) {
        std::lock_guard lock(mutex_);
        bdSeq_ = bdSeq;
    }
    std::optional<uint8_t> bdSeq() const {
        std::lock_guard lock(mutex_);
        return bdSeq_;
    }

  private:
    mutable std::mutex mutex_;
    std::optional<uint8_t> bdSeq_;
};

LastSession &TheLastSession() {
    static LastSession session;
    return session;
}

} // namespace

SparkplugFrontEnd::SparkplugFrontEnd() = default;

SparkplugFrontEnd::~SparkplugFrontEnd() {
    Stop();
}

bool SparkplugFrontEnd::Start(const ServedLines &lines, std::string &error) {
    config_ = lines.config;
    const Config &config = *config_;
    sparkplug_ = &*config.sparkplug;
    broker_ = host::EndpointText(sparkplug_->host, sparkplug_->port);
    client_ = std::make_unique<MqttClient>(
        *sparkplug_,
        MqttClient::Session{sparkplug_->groupId + "-" + sparkplug_->edgeNodeId,
                            sparkplug_->keepaliveS, 1},
        kLog, clientStatistics_);
    edge_ = std::make_unique<EdgeNode>(sparkplug_->groupId, sparkplug_->edgeNodeId,
                                       sparkplug_->primaryHostId.empty()
                                           ? std::nullopt
                                           : std::optional<std::string>(sparkplug_->primaryHostId),
                                       TheLastSession().bdSeq());
    const uint64_t now = NowMs();
    for (size_t line = 0; line < config.lines.size(); ++line) {
        LinePoller *poller = lines.pollers[line];
        if (poller == nullptr)
            continue;
        const size_t index = pollers_.size();
        for (const std::string &plc : poller->plcs()) {
            DeviceState state;
            state.poller = index;
            state.line = line;
            state.plc = plc;
            state.device.id = DeviceId(config.lines[line].name, plc);
            deviceIndex_[state.device.id] = devices_.size();
            devices_.push_back(std::move(state));
        }
        size_t group = 0;
        for (const PollConfig &poll : config.polls) {
            if (poll.line != line)
                continue;
            const size_t device = deviceIndex_.at(DeviceId(config.lines[line].name, poll.plc));
            DeviceState &state = devices_[device];
            slots_[{index, group++}] = {&poll, device, state.device.metrics.size(),
                                        state.fresh.size()};
            state.fresh.push_back(false);
            for (size_t i = 0; i < poll.Values(); ++i) {
                state.device.metrics.push_back(ValueMetric(poll, i, std::nullopt, now));
                state.device.deadbands.push_back(
                    poll.publish == PublishMode::Always ? 0 : poll.deadband);
                state.byName[poll.Level(i)] = {&poll, i};
            }
        }
        pollers_.push_back(poller);
    }
    MqttClient::Handlers handlers;
    handlers.will = [this] {
        std::lock_guard lock(mutex_);
        everConnected_ = true;
        return Message(edge_->Connecting());
    };
    handlers.connected = [this] { OnConnected(); };
    handlers.message = [this](const std::string &topic, const std::string &payload) {
        OnMessage(topic, payload);
    };
    handlers.retained = [this](const std::string &topic, const std::string &payload) {
        // The primary host's STATE is kept by the broker: it is what the node waits for.
        if (TypeOf(topic) != "STATE")
            return false;
        OnMessage(topic, payload);
        return true;
    };
    // The will given here is replaced before every attempt by handlers.will.
    if (!client_->Start(edge_->NodeTopic("NDEATH"), "", std::move(handlers), error))
        return false;
    for (size_t i = 0; i < pollers_.size(); ++i)
        listening_.push_back(
            pollers_[i]->Listen({[this, i](const PolledGroup &group) { OnRead(i, group); },
                                 [this, i] { OnHealth(i); }}));
    return true;
}

void SparkplugFrontEnd::Stop() {
    // Not under mutex_: a listener the poller is calling may be waiting for it.
    for (size_t i = 0; i < listening_.size(); ++i)
        pollers_[i]->Unlisten(listening_[i]);
    listening_.clear();
    if (!client_)
        return; // never started
    if (const std::optional<uint8_t> seq = bdSeq())
        TheLastSession().Remember(*seq);
    MqttMessage death;
    {
        std::lock_guard lock(mutex_);
        death = Message(edge_->Death());
        if (client_->connected())
            Count("NDEATH");
    }
    client_->Stop(death);
}

void SparkplugFrontEnd::Prepare(const ReloadPlan &, const std::shared_ptr<const Config> &next) {
    std::lock_guard lock(rightsMutex_);
    rights_ = next;
}

void SparkplugFrontEnd::Apply(const ServedLines &) {
    // The session goes on; the primary host's STATE is taken afresh from what the broker holds.
    std::lock_guard lock(mutex_);
    edge_->ForgetHostState();
    if (!sparkplug_->primaryHostId.empty() && client_->connected())
        client_->Subscribe(StateTopic(sparkplug_->primaryHostId));
}

bool SparkplugFrontEnd::ReadOnly(size_t line, const std::string &plc) const {
    std::lock_guard lock(rightsMutex_);
    return PlcReadOnly(rights_ ? *rights_ : *config_, line, plc);
}

SparkplugSnapshot SparkplugFrontEnd::Status() const {
    const MqttLineSnapshot client = client_->Status();
    SparkplugSnapshot status;
    status.broker = broker_;
    status.connected = client.connected;
    status.lastError = client.lastError;
    std::lock_guard lock(mutex_);
    if (everConnected_)
        status.bdSeq = edge_->bdSeq();
    status.messages = messages_;
    return status;
}

std::optional<uint8_t> SparkplugFrontEnd::bdSeq() const {
    std::lock_guard lock(mutex_);
    return everConnected_ ? std::optional<uint8_t>(edge_->bdSeq()) : std::nullopt;
}

void SparkplugFrontEnd::Report() const {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[type, count] : messages_)
            text += (text.empty() ? "" : ", ") + type + " " + std::to_string(count);
    }
    Log(Level::Notice, kLog,
        "statistics: bdSeq " + (bdSeq() ? std::to_string(*bdSeq()) : std::string("none")) +
            ", messages: " + (text.empty() ? "none" : text));
}

MqttMessage SparkplugFrontEnd::Message(const Outgoing &out) const {
    return {out.topic, std::string(out.payload.begin(), out.payload.end()), out.qos, out.retain};
}

void SparkplugFrontEnd::Count(const std::string &type) {
    ++messages_[type];
}

void SparkplugFrontEnd::Send(const std::vector<Outgoing> &out) {
    for (const Outgoing &message : out) {
        if (client_->Publish(Message(message)))
            Count(TypeOf(message.topic));
    }
}

void SparkplugFrontEnd::Judge(DeviceState &state) {
    if (!pollers_[state.poller]->Answering(state.plc))
        std::fill(state.fresh.begin(), state.fresh.end(), false);
    state.device.alive =
        std::all_of(state.fresh.begin(), state.fresh.end(), [](bool fresh) { return fresh; });
}

std::vector<Device> SparkplugFrontEnd::Devices() {
    std::vector<Device> devices;
    for (DeviceState &state : devices_) {
        Judge(state);
        devices.push_back(state.device);
    }
    return devices;
}

void SparkplugFrontEnd::OnConnected() {
    std::lock_guard lock(mutex_);
    // NCMD, DCMD (and the primary host's STATE) before any birth: the SUBSCRIBEs leave first.
    for (const std::string &topic : edge_->Subscriptions())
        client_->Subscribe(topic);
    Send(edge_->Connected(NowMs(), Devices()));
}

void SparkplugFrontEnd::OnRead(size_t poller, const PolledGroup &group) {
    if (group.busy)
        return; // the PLC was not asked: nothing is known of it
    std::lock_guard lock(mutex_);
    const Slot slot = slots_.at({poller, group.index});
    const size_t first = slot.first;
    DeviceState &state = devices_[slot.device];
    const uint64_t at = Ms(group.at);
    state.fresh[slot.group] = !group.values.empty() && group.values[0].quality != Quality::NoAnswer;
    for (size_t i = 0; i < group.values.size(); ++i) {
        const PolledValue &value = group.values[i];
        const bool good = value.quality == Quality::Good;
        state.device.metrics[first + i] =
            ValueMetric(*slot.poll, i, good ? value.raw : std::nullopt, at);
    }
    Judge(state);
    if (client_->connected())
        Send(edge_->Update(NowMs(), state.device));
}

void SparkplugFrontEnd::OnHealth(size_t poller) {
    std::lock_guard lock(mutex_);
    for (DeviceState &state : devices_) {
        if (state.poller != poller)
            continue;
        Judge(state);
        if (client_->connected())
            Send(edge_->Update(NowMs(), state.device));
    }
}

void SparkplugFrontEnd::OnMessage(const std::string &topic, const std::string &payload) {
    const std::string type = TypeOf(topic);
    {
        std::lock_guard lock(mutex_);
        Count(type);
    }
    if (type == "STATE")
        OnState(payload);
    else if (type == "NCMD" && topic == edge_->NodeTopic("NCMD"))
        OnNodeCommand(payload);
    else if (const std::string prefix = edge_->NodeTopic("DCMD") + "/";
             type == "DCMD" && topic.starts_with(prefix))
        OnDeviceCommand(topic.substr(prefix.size()), payload);
}

void SparkplugFrontEnd::OnState(const std::string &payload) {
    std::lock_guard lock(mutex_);
    switch (edge_->OnState(payload, NowMs())) {
    case EdgeNode::HostChange::Online:
        Log(Level::Notice, kLog,
            "primary host " + sparkplug_->primaryHostId + " online: births published");
        Send(edge_->Connected(NowMs(), Devices()));
        break;
    case EdgeNode::HostChange::Offline:
        Log(Level::Notice, kLog,
            "primary host " + sparkplug_->primaryHostId +
                " offline: NDEATH published, connecting again to wait for it");
        Count("NDEATH");
        client_->Drop(Message(edge_->Death()));
        break;
    case EdgeNode::HostChange::Future:
        // Told once until a STATE is taken again, and a line a minute at most even then.
        commandLog_->Note(Level::Warning, kLog, "STATE from the future",
                          "primary host " + sparkplug_->primaryHostId +
                              " STATE ignored: stamped more than a day ahead of this gateway's "
                              "clock (the next ones like it are ignored without a line)",
                          {"sparkplug commands:", "STATEs from the future"});
        break;
    case EdgeNode::HostChange::None:
        break;
    }
}

void SparkplugFrontEnd::OnNodeCommand(const std::string &payload) {
    const auto note = [this](Level level, const std::string &key, const std::string &text,
                             const std::string &counted) {
        commandLog_->Note(level, kLog, key, text, {"sparkplug commands:", counted});
    };
    const auto decoded =
        Decode(std::span(reinterpret_cast<const uint8_t *>(payload.data()), payload.size()));
    if (!decoded)
        return note(Level::Warning, "NCMD undecodable", "NCMD ignored: not a Sparkplug B payload",
                    "NCMDs that are not Sparkplug B payloads");
    const NodeCommand command = ReadNodeCommand(*decoded);
    if (command.ignored > 0)
        note(Level::Warning, "NCMD metrics ignored",
             "NCMD: " + Grouped(command.ignored) + (command.ignored == 1 ? " metric" : " metrics") +
                 " ignored, the first " + command.firstIgnored,
             "NCMDs with metrics ignored");
    if (!command.rebirth)
        return;
    std::lock_guard lock(mutex_);
    if (!edge_->born())
        return; // the births to come hold everything
    const uint64_t now = NowMs();
    if (!edge_->RebirthDue(now))
        return note(Level::Warning, "rebirth too soon",
                    "rebirth asked for within a second of the last: ignored",
                    "rebirths asked for within a second of the last");
    note(Level::Info, "rebirth", "rebirth asked for: NBIRTH and every DBIRTH again", "rebirths");
    Send(edge_->Rebirth(now, Devices()));
}

void SparkplugFrontEnd::OnDeviceCommand(const std::string &device, const std::string &payload) {
    const auto found = deviceIndex_.find(device);
    if (found == deviceIndex_.end()) {
        commandLog_->Note(Level::Warning, kLog, "no such device",
                          "DCMD for " + Cut(device) + " ignored: no such device",
                          {"sparkplug commands:", "DCMDs for devices not served"});
        return;
    }
    const auto decoded =
        Decode(std::span(reinterpret_cast<const uint8_t *>(payload.data()), payload.size()));
    if (!decoded) {
        commandLog_->Note(Level::Warning, kLog, "undecodable",
                          "DCMD for " + device + " ignored: not a Sparkplug B payload",
                          {"sparkplug commands:", "DCMDs that are not Sparkplug B payloads"});
        return;
    }
    for (const Metric &metric : decoded->metrics)
        Write(devices_[found->second], metric);
}

void SparkplugFrontEnd::Write(DeviceState &state, const Metric &metric) {
    const std::string what = state.device.id + " " + Cut(metric.name);
    const auto refuse = [&](const std::string &why) {
        commandLog_->Note(Level::Warning, kLog, state.device.id + " not written",
                          "DCMD " + what + ": not written (" + why + ")",
                          {"sparkplug commands:", "not written to " + state.device.id});
    };
    const auto found = state.byName.find(metric.name);
    if (found == state.byName.end())
        return refuse("the device has no such metric");
    const auto [poll, index] = found->second;
    LinePoller &poller = *pollers_[state.poller];
    if (ReadOnly(state.line, state.plc))
        return refuse("read_only");
    std::string value;
    std::string reason;
    const std::optional<int64_t> raw = CommandWrite(metric, *poll, value, reason);
    if (!raw)
        return refuse(reason);
    const std::string shown = what + " = " + value;
    // The new value comes back in DDATA: the poller reads the PLC's groups again.
    SubmitWrite(
        poller, WriteTarget{state.plc, poll->RegisterOf(index), poll->Format(), poll->scaling},
        *raw, Source::Sparkplug,
        [shown, what, log = commandLog_, device = state.device.id](const WriteAnswer &answer) {
            if (answer.outcome == WriteOutcome::Ok) {
                log->Note(Level::Info, kLog, what + " ok", "DCMD " + shown + ": ok",
                          {"sparkplug commands:", "writes ok to " + what});
                return;
            }
            const std::string word = OutcomeWord(answer.outcome);
            log->Note(Level::Warning, kLog, device + " " + word,
                      "DCMD " + shown + ": " + word +
                          (answer.reason.empty() ? "" : " (" + answer.reason + ")"),
                      {"sparkplug commands:", word + " from " + device});
        });
}

} // namespace vpisd::gateway
