#include "gateway/log.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "host/console.h"
#include "host/host_log.h"

namespace vpisd::gateway {
namespace {

constexpr int32_t kDriverEventLevel = 32;

struct LevelName {
    const char *name;
    int priority; // syslog
};
constexpr LevelName kLevels[] = {
    {"error", 3}, {"warning", 4}, {"notice", 5}, {"info", 6}, {"debug", 7}};

std::atomic<Level> shown{Level::Info};
thread_local std::vector<std::string> *capture = nullptr;

void FromDriver(int32_t level, const std::string &tag, const char *text) {
    if (capture != nullptr) {
        if (level >= kDriverEventLevel) // protocol traces are not kept
            capture->emplace_back(text);
        return;
    }
    Log(level >= kDriverEventLevel ? Level::Info : Level::Debug, tag,
        std::string("driver: ") + text);
}

} // namespace

std::optional<Level> LevelNamed(const std::string &name) {
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (name == kLevels[i].name)
            return static_cast<Level>(i);
    }
    return std::nullopt;
}

void SetLogLevel(Level most) {
    shown = most;
}

void Log(Level level, const std::string &line, const std::string &text) {
    if (level > shown)
        return;
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    const LevelName &name = kLevels[static_cast<int>(level)];
    std::string out = journal ? "<" + std::to_string(name.priority) + ">" : host::TimeOfDay() + " ";
    out += name.name;
    if (!line.empty())
        out += " [" + line + "]";
    out += " " + text;
    host::ConsoleLine(out);
}

void RouteDriverMessages() {
    host::SetLogSink(FromDriver);
}

void CaptureDriverMessages(std::vector<std::string> *into) {
    capture = into;
}

} // namespace vpisd::gateway
