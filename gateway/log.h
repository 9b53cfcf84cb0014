// The gateway's log: one line per event on stderr with its level and, where there is one, the
// name of the line it concerns. Under systemd (JOURNAL_STREAM set) each line starts with the
// syslog priority ("<4>") that journald reads, and the time stamp is left to the journal. Texts
// from outside (payloads, topics, names, the driver's messages) reach the log as they are: Log
// escapes their control characters, so no text can end a line early or start a forged one.
#pragma once

#include <optional>
#include <string>

namespace vpisd::gateway {

enum class Level { Error, Warning, Notice, Info, Debug };

// "debug", "info", "notice", "warning" or "error"; nullopt for any other name.
std::optional<Level> LevelNamed(const std::string &name);
void SetLogLevel(Level most); // messages above this level are not shown
// `line`: the line's name, or empty for the gateway as a whole. A newline in either is written
// as \n (a backslash and an n), any other byte below 0x20 and 0x7f as \xNN (\x1b).
void Log(Level level, const std::string &line, const std::string &text);
// `text` with its control characters escaped as Log writes them.
std::string EscapeControls(const std::string &text);

} // namespace vpisd::gateway
