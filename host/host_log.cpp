#include "host/host_log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "host/console.h"
#include "vpisd/vpi.h"

namespace vpisd::host {
namespace {

constexpr size_t kRecentEventLimit = 64; // a failed read logs a handful; keep the last ones
std::mutex logMutex;
int currentVerbosity = 0;
std::vector<std::string> recentEvents;
LogObserver observer = nullptr;
std::atomic<LogSink> logSink{nullptr};
thread_local std::string threadTag;
thread_local TryTally *tryTally = nullptr;

} // namespace

void FollowTries(TryTally *tally) {
    tryTally = tally;
}

void SetLogSink(LogSink sink) {
    logSink = sink;
}

void SetThreadLogTag(const std::string &tag) {
    threadTag = tag;
}

void SetLogVerbosity(int verbosity) {
    std::lock_guard lock(logMutex);
    currentVerbosity = verbosity;
}

void SetLogObserver(LogObserver newObserver) {
    std::lock_guard lock(logMutex);
    observer = newObserver;
}

std::vector<std::string> TakeRecentEvents() {
    std::lock_guard lock(logMutex);
    std::vector<std::string> out;
    out.swap(recentEvents);
    return out;
}

} // namespace vpisd::host

// The driver finds this by name in the global symbol scope and calls it on the thread
// of the command it runs.
extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) void
VpiHostLog(int32_t level, const char *format, ...) {
    using namespace vpisd::host;
    if (tryTally != nullptr)
        tryTally->Trace(format, std::chrono::steady_clock::now());
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (const LogSink sink = logSink.load(); sink != nullptr) {
        sink(level, threadTag, text);
        return;
    }
    int verbosity = 0;
    LogObserver notify = nullptr;
    {
        std::lock_guard lock(logMutex);
        verbosity = currentVerbosity;
        notify = observer;
        if (level == VPI_LOG_EVENT) {
            if (recentEvents.size() == kRecentEventLimit)
                recentEvents.erase(recentEvents.begin());
            recentEvents.emplace_back(text);
        }
    }
    if (notify != nullptr)
        notify(level, text);
    if (verbosity >= 2 || (verbosity == 1 && level >= VPI_LOG_EVENT)) {
        ConsoleLine(TimeOfDay() + " [" + std::to_string(level) + "] " + text);
    }
}
