// The driver's one logging call. The format and its arguments go to the host's
// logger unchanged; each platform finds that logger in its own file (POSIX: the
// host's VpiHostLog; Windows: err imported from KORVAL.dll).
#pragma once

#include <cstdint>

#include "vpisd/vpi.h"

namespace vpisd {

constexpr int32_t LOG_DEBUG = 8;  // protocol traces
constexpr int32_t LOG_EVENT = 32; // events and failures an operator should see

// The host's logger, or nullptr when the host provides none.
VpiHostLogFn HostLogger();
// Fallback sink when the host has no logger: one line on stderr with the level.
void LogToStderr(int32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Arguments must be int-sized integers or zero-terminated strings, as the host's
// logger expects. Host-controlled text (a GAS, a port name) is only ever an argument.
template <typename... Args>
void Log(int32_t level, const char *format, Args... args) {
    if (VpiHostLogFn host = HostLogger()) {
        host(level, format, args...);
        return;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    LogToStderr(level, format, args...);
#pragma GCC diagnostic pop
}

} // namespace vpisd
