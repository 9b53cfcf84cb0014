#include "gateway/mqtt/mqtt_writes.h"

#include <algorithm>

#include "gateway/log.h"
#include "gateway/mqtt/mqtt_payload.h"

namespace vpisd::gateway {
namespace {

constexpr size_t kShownPayload = 40;

} // namespace

std::optional<WriteTarget> ResolveSet(const LineTopics &topics, const SetCommand &command,
                                      std::string &refusal) {
    const std::string path = command.Path();
    if (const auto target = topics.targets.find(path); target != topics.targets.end()) {
        const PollConfig &poll = *topics.groups[target->second.group].poll;
        const std::string level = poll.Level(target->second.value);
        if (target->second.byKeyOfNamed) {
            refusal = "\"" + path + "\" is named \"" + level + "\": set it on " + topics.base +
                      "/" + command.plc + "/" + level + "/set";
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

std::string ShownPayload(const SetCommand &command) {
    return command.payload.substr(0, std::min(command.payload.size(), kShownPayload));
}

MqttWrites::MqttWrites(Publisher &publisher, MqttStatistics &statistics,
                       MqttPlcStatistics &plcStatistics, std::string line,
                       std::shared_ptr<const Config> config, size_t index)
    : publisher_(publisher), statistics_(statistics), plcStatistics_(plcStatistics),
      line_(std::move(line)), rights_(std::move(config)), rightsLine_(index) {}

void MqttWrites::SetRights(std::shared_ptr<const Config> config, size_t index) {
    rights_ = std::move(config);
    rightsLine_ = index;
}

std::optional<MqttWrites::Write> MqttWrites::Take(const LineTopics &topics,
                                                  const SetCommand &command) {
    std::string refusal;
    const std::optional<WriteTarget> target = ResolveSet(topics, command, refusal);
    if (!target) {
        Answer(command, WriteOutcome::Refused, refusal);
        return std::nullopt;
    }
    // A PLC that a read-only Modbus unit serves is read-only on MQTT too.
    if (PlcReadOnly(*rights_, rightsLine_, target->plc)) {
        Answer(command, WriteOutcome::ReadOnly, "");
        return std::nullopt;
    }
    const SetValue set = ParseSetPayload(command.payload, target->format, target->scaling);
    if (!set.value) {
        Answer(command, WriteOutcome::Refused, set.reason);
        return std::nullopt;
    }
    return Write{*target, *set.value};
}

WriteOutcome MqttWrites::Finish(const SetCommand &command, const WriteAnswer &answer,
                                bool restarting, bool lineStarted) {
    const bool cancelled = answer.status == LineStatus::Cancelled && restarting;
    const bool unopened = answer.reason == kQueueFull && !lineStarted;
    Answer(command, answer.outcome, cancelled || unopened ? kRestarting : answer.reason,
           ShownPayload(command));
    return answer.outcome;
}

void MqttWrites::Answer(const SetCommand &command, WriteOutcome outcome, const std::string &reason,
                        const std::string &shown) {
    statistics_.CountWrite(outcome);
    plcStatistics_.CountWrite(command.plc, outcome);
    // "P1/101 = 250: ok"
    const std::string what = command.Path() + (shown.empty() ? "" : " = " + shown);
    const std::string text = "mqtt write " + what + ": " + OutcomeWord(outcome) +
                             (reason.empty() ? "" : " (" + reason + ")");
    if (outcome == WriteOutcome::Ok) {
        Log(Level::Info, line_, text);
    } else {
        // A flood of writes that fail alike costs a line a minute per PLC; each still has its
        // result on its topic.
        const bool ownKind = reason == kQueueFull || reason == kRestarting || reason == kStopping;
        const std::string kind = std::string("mqtt write ") + OutcomeWord(outcome) +
                                 (ownKind ? " (" + reason + ")" : std::string());
        log_.Note(Level::Warning, line_, command.plc + " " + kind, text,
                  {kind + ":", "to " + command.plc});
    }
    if (!reason.empty())
        publisher_.Publish(command.topic + "/reason", reason, false);
    publisher_.Publish(command.topic + "/result", OutcomeWord(outcome), false);
}

} // namespace vpisd::gateway
