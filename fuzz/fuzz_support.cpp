#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "vpisd/vpi.h"

// The host's logger as the driver looks it up; formats like a host would, keeps nothing.
extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) void
VpiHostLog(int32_t level, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    (void)level;
}

namespace vpisd::fuzz {

void Fail(const char *file, int line, const char *property) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
    std::abort();
}

FUZZ_UNTRACED bool Untouched(const void *object, size_t begin, size_t end) {
    const auto *bytes = static_cast<const uint8_t *>(object);
    for (size_t i = begin; i < end; ++i) {
        if (bytes[i] != kGuardByte) {
            return false;
        }
    }
    return true;
}

} // namespace vpisd::fuzz
