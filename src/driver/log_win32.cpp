#include <cstdarg>
#include <cstdio>

#include "driver/log.h"

// The host's logger, exported by name from its library KORVAL.dll and bound at load time
// through the import library built from win32/KORVAL.def.
extern "C" __declspec(dllimport) void err(int level, const char *format, ...);

namespace vpisd {

VpiHostLogFn HostLogger() {
    return &err;
}

void LogToStderr(int32_t level, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "vpisd[%d] %s\n", static_cast<int>(level), text);
}

} // namespace vpisd
