#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

#include "driver/log.h"

namespace vpisd {

// Looked up by name in the global symbol scope at each call, so a logger that the
// host makes available after loading the driver is still found. The C library's
// err(3) has the Windows logger's name and ends the process, hence another name.
VpiHostLogFn HostLogger() {
    return reinterpret_cast<VpiHostLogFn>(dlsym(RTLD_DEFAULT, "VpiHostLog"));
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
