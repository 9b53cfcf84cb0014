// The tests' host logger: VpiHostLog records every driver message for inspection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vpisd::test {

struct LogEntry {
    int32_t level;
    std::string text; // formatted message
};

void ClearLog();
std::vector<LogEntry> LogEntries();
// Number of messages with exactly this level and text.
int CountLog(int32_t level, const std::string &text);
// Formatted messages, one per line, for failure output.
std::string LogDump();

} // namespace vpisd::test
