#include "routing/route_line.h"

#include <cstring>

#include "routing/init_file.h"

namespace vpisd {
namespace {

constexpr size_t kNormalDropsStart = 3; // after the name and the "="

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Low 8 bits of the number formed by the leading digits of text[begin, end); taken
// digit by digit modulo 256, so no length of digits can overflow.
uint8_t DropByte(const char *text, size_t begin, size_t end) {
    unsigned value = 0;
    for (size_t i = begin; i < end && IsDigit(text[i]); ++i) {
        value = (value * 10U + static_cast<unsigned>(text[i] - '0')) & 0xFFU;
    }
    return static_cast<uint8_t>(value);
}

// Stores the drops of text[begin, end), "+"-separated, into out. Returns false when a
// drop of 0 ended the part. Drops after the kMaxDrops-th are left out.
bool SplitPart(const char *text, size_t begin, size_t end, uint8_t *out, int *count) {
    *count = 0;
    size_t position = begin;
    while (position < end) {
        size_t dropEnd = position;
        while (dropEnd < end && text[dropEnd] != '+') {
            ++dropEnd;
        }
        const uint8_t drop = DropByte(text, position, dropEnd);
        if (drop == 0) {
            return false;
        }
        if (*count < kMaxDrops) {
            out[(*count)++] = drop;
        }
        position = dropEnd + 1;
    }
    return true;
}

} // namespace

void SplitRouteLine(const char *line, RouteLineDrops *drops) {
    drops->normalCount = 0;
    drops->backupCount = 0;
    const size_t length = strnlen(line, kRouteLineBytes);
    const char *comma = static_cast<const char *>(std::memchr(line, ',', length));
    const size_t normalEnd = comma != nullptr ? static_cast<size_t>(comma - line) : length;
    const bool normalWhole =
        SplitPart(line, kNormalDropsStart, normalEnd, drops->normal, &drops->normalCount);
    if (comma != nullptr && normalWhole) {
        SplitPart(line, normalEnd + 1, length, drops->backup, &drops->backupCount);
    }
}

int BackupHoldsSeparatorByte(const RouteLineDrops &drops) {
    for (int i = 0; i < drops.backupCount; ++i) {
        if (drops.backup[i] == kRouteSeparator) {
            return 1;
        }
    }
    return 0;
}

} // namespace vpisd
