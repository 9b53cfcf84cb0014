#include "gateway/driver_log.h"

#include <cstdint>
#include <memory>

#include "gateway/limited_log.h"
#include "gateway/log.h"
#include "host/host_log.h"

namespace vpisd::gateway {
namespace {

constexpr int32_t kDriverEventLevel = 32;

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
    if (!driverEvents)
        driverEvents = std::make_unique<LimitedLog>(
            LimitedLog::Count{"driver:", "events of other kinds or PLCs"});
    driverEvents->Note(Level::Info, tag, eventsPlc + "/" + KindOf(text),
                       std::string("driver: ") + text,
                       {"driver:", "like \"" + std::string(text) + "\" for " + eventsPlc});
}

} // namespace

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
