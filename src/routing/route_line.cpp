#include "routing/route_line.h"

#include <cstring>

#include "routing/init_file.h"

namespace vpisd {
namespace {

constexpr size_t kNormalDropsStart = 3; // after the name and the "="
constexpr int kMaxDropDigits = 3;
constexpr unsigned kMaxDropValue = 255;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The drop in text[begin, end) as its stored byte, or false when the file cannot mean it:
// no leading digit (value 0), a value of 0 or above 255, or four digits or more.
bool DropByte(const char *text, size_t begin, size_t end, uint8_t *byte) {
    unsigned value = 0;
    int digits = 0;
    for (size_t i = begin; i < end && IsDigit(text[i]); ++i) {
        if (++digits > kMaxDropDigits) {
            return false;
        }
        value = value * 10U + static_cast<unsigned>(text[i] - '0');
    }
    if (value == 0 || value > kMaxDropValue) {
        return false;
    }
    *byte = static_cast<uint8_t>(value);
    return true;
}

// Stores the drops of text[begin, end), "+"-separated, into part. Drops after the
// kMaxDrops-th are left out; a drop out of range leaves the whole part out.
void SplitPart(const char *text, size_t begin, size_t end, RoutePart *part) {
    part->count = 0;
    size_t position = begin;
    while (position < end) {
        size_t dropEnd = position;
        while (dropEnd < end && text[dropEnd] != '+') {
            ++dropEnd;
        }
        uint8_t drop = 0;
        if (!DropByte(text, position, dropEnd, &drop)) {
            part->count = 0;
            part->leftOut = true;
            part->badDropBegin = position;
            part->badDropLength = dropEnd - position;
            return;
        }
        if (part->count < kMaxDrops) {
            part->drops[part->count++] = drop;
        }
        position = dropEnd + 1;
    }
}

} // namespace

void SplitRouteLine(const char *line, RouteLineDrops *drops) {
    *drops = RouteLineDrops{};
    const size_t length = strnlen(line, kRouteLineBytes);
    const char *comma = static_cast<const char *>(std::memchr(line, ',', length));
    const size_t normalEnd = comma != nullptr ? static_cast<size_t>(comma - line) : length;
    SplitPart(line, kNormalDropsStart, normalEnd, &drops->normal);
    if (comma != nullptr) {
        SplitPart(line, normalEnd + 1, length, &drops->backup);
    }
}

int BackupHoldsSeparatorByte(const RouteLineDrops &drops) {
    for (int i = 0; i < drops.backup.count; ++i) {
        if (drops.backup.drops[i] == kRouteSeparator) {
            return 1;
        }
    }
    return 0;
}

} // namespace vpisd
