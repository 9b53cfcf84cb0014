// The gateway's log: one line per event on stderr with its level and, where there is one, the
// name of the line it concerns. Under systemd (JOURNAL_STREAM set) each line starts with the
// syslog priority ("<4>") that journald reads, and the time stamp is left to the journal.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vpisd::gateway {

enum class Level { Error, Warning, Notice, Info, Debug };

// "debug", "info", "notice", "warning" or "error"; nullopt for any other name.
std::optional<Level> LevelNamed(const std::string &name);
void SetLogLevel(Level most); // messages above this level are not shown
// `line`: the line's name, or empty for the gateway as a whole.
void Log(Level level, const std::string &line, const std::string &text);

// The driver's messages come through the host logger, each tagged with the line whose worker
// made the call: level 32 (events) as info, level 8 (protocol traces) as debug.
void RouteDriverMessages();
// While set on a thread, the driver's messages of that thread are kept here instead.
void CaptureDriverMessages(std::vector<std::string> *into);

} // namespace vpisd::gateway
