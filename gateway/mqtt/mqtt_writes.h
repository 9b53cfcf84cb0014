// The /set side of one line: what a command topic names, whether its PLC may be written, its
// payload as the line job that writes it, and the answer on <command>/result (with
// <command>/reason before it when there is a reason), counted and logged.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gateway/config/config.h"
#include "gateway/limited_log.h"
#include "gateway/lines/line_request.h"
#include "gateway/mqtt/line_topics.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/mqtt/publisher.h"
#include "gateway/mqtt/value_topic.h"
#include "gateway/write_command.h"

namespace vpisd::gateway {

inline constexpr const char *kQueueFull = RefusalReason(Queued::Full);
inline constexpr const char *kRestarting = RefusalReason(Queued::Closed);
inline constexpr const char *kStopping = "the MQTT side of the line is stopping";

// What `command` names among `topics`: a value a group polls (by its name, or its key when it
// has none), else a register, pair or bit by its key. nullopt with the reason in `refusal`.
std::optional<WriteTarget> ResolveSet(const LineTopics &topics, const SetCommand &command,
                                      std::string &refusal);

class MqttWrites {
  public:
    // The writes of line `line` (its name, for the log), by the rights of `config.lines[line]`.
    MqttWrites(Publisher &publisher, MqttStatistics &statistics, MqttPlcStatistics &plcStatistics,
               std::string line, std::shared_ptr<const Config> config, size_t index);

    // The write rights from now on: those of `config.lines[index]` (a reload's new ones).
    void SetRights(std::shared_ptr<const Config> config, size_t index);
    // What `command` writes, and the raw value; nullopt when the command is answered already
    // (it names nothing, its PLC is read-only or its payload is no value it takes).
    struct Write {
        WriteTarget target;
        int64_t raw = 0;
    };
    std::optional<Write> Take(const LineTopics &topics, const SetCommand &command);
    // Answers `command` from its write's `answer`. `restarting`: the line's worker is being
    // replaced; `lineStarted`: the line has tried to open its device. A write cancelled while
    // the line restarts, or not taken by the full queue of a line that has not opened yet, is
    // refused because the line is restarting.
    WriteOutcome Finish(const SetCommand &command, const WriteAnswer &answer, bool restarting,
                        bool lineStarted);
    void Answer(const SetCommand &command, WriteOutcome outcome, const std::string &reason,
                const std::string &shown = "");
    // Logs the failed writes counted since their kind's last line (`all`: every kind now).
    void Flush(bool all) { log_.Flush(all); }

  private:
    Publisher &publisher_;
    MqttStatistics &statistics_;
    MqttPlcStatistics &plcStatistics_;
    const std::string line_;
    std::shared_ptr<const Config> rights_;
    size_t rightsLine_;
    // Failed writes of one kind to one PLC: a line a minute, the others counted.
    LimitedLog log_{{"mqtt writes failed:", "to other PLCs or of other kinds"}};
};

// What a /set payload shows in the log: its first characters.
std::string ShownPayload(const SetCommand &command);

} // namespace vpisd::gateway
