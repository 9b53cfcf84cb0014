#include "gateway/log.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>

#include "gateway/limited_log.h"

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
thread_local std::string eventsPlc;
thread_local std::unique_ptr<LimitedLog> driverEvents;

// The words of a driver's event without its numbers: "Read Failed! GAS = P# rc = #".
std::string KindOf(const char *text) {
    std::string kind;
    for (const char *c = text; *c != '\0'; ++c) {
        const bool digit = *c >= '0' && *c <= '9';
        if (!digit)
            kind += *c;
        else if (kind.empty() || kind.back() != '#')
            kind += '#';
    }
    return kind;
}

void FromDriver(int32_t level, const std::string &tag, const char *text) {
    if (capture != nullptr) {
        if (level >= kDriverEventLevel) // protocol traces are not kept
            capture->emplace_back(text);
        return;
    }
    if (level < kDriverEventLevel || eventsPlc.empty()) {
        Log(level < kDriverEventLevel ? Level::Debug : Level::Info, tag,
            std::string("driver: ") + text);
        return;
    }
    // The driver tells each failed transaction: a PLC that stays silent must not flood the log.
    if (!driverEvents)
        driverEvents = std::make_unique<LimitedLog>(
            LimitedLog::Count{"driver:", "events of other kinds or PLCs"});
    driverEvents->Note(Level::Info, tag, eventsPlc + "/" + KindOf(text),
                       std::string("driver: ") + text,
                       {"driver:", "like \"" + std::string(text) + "\" for " + eventsPlc});
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
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
        out += " [" + EscapeControls(line) + "]";
    out += " " + EscapeControls(text);
    host::ConsoleLine(out);
}

std::string EscapeControls(const std::string &text) {
    if (std::none_of(text.begin(), text.end(), IsControl))
        return text;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (!IsControl(c)) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    return out;
}

void RouteDriverMessages() {
    host::SetLogSink(FromDriver);
}

void CaptureDriverMessages(std::vector<std::string> *into) {
    capture = into;
}

void DriverEventsConcern(const std::string &plc) {
    eventsPlc = plc;
}

void FlushDriverEvents(bool all) {
    if (driverEvents)
        driverEvents->Flush(all);
}

} // namespace vpisd::gateway
