#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

#include "driver/log.h"

namespace vpisd {

// Looked up once by name in the global symbol scope: the host exports it from its
// executable or from a library loaded RTLD_GLOBAL. A failed dlsym allocates its error
// text, so the answer is kept and commands stay free of heap allocation. The C
// library's err(3) has the Windows logger's name and ends the process, hence another name.
VpiHostLogFn HostLogger() {
    static const VpiHostLogFn logger =
        reinterpret_cast<VpiHostLogFn>(dlsym(RTLD_DEFAULT, "VpiHostLog"));
    return logger;
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
