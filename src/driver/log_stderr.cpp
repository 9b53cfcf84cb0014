#include <cstdarg>
#include <cstdio>

#include "driver/log.h"

namespace vpisd {

void LogToStderr(int32_t level, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "vpisd[%d] %s\n", static_cast<int>(level), text);
}

} // namespace vpisd
