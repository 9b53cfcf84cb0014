#include "support/host_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex logMutex;
std::vector<vpisd::test::LogEntry> logEntries;
} // namespace

extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) void
VpiHostLog(int32_t level, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard lock(logMutex);
    logEntries.push_back({level, text});
}

namespace vpisd::test {

void ClearLog() {
    std::lock_guard lock(logMutex);
    logEntries.clear();
}

std::vector<LogEntry> LogEntries() {
    std::lock_guard lock(logMutex);
    return logEntries;
}

int CountLog(int32_t level, const std::string &text) {
    std::lock_guard lock(logMutex);
    int count = 0;
    for (const auto &entry : logEntries) {
        count += (entry.level == level && entry.text == text) ? 1 : 0;
    }
    return count;
}

std::string LogDump() {
    std::lock_guard lock(logMutex);
    std::string dump;
    for (const auto &entry : logEntries) {
        dump += "[" + std::to_string(entry.level) + "] " + entry.text + "\n";
    }
    return dump;
}

} // namespace vpisd::test
