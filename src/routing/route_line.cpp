#include "routing/route_line.h"

#include <cstring>

#include "routing/init_grammar.h"

namespace vpisd {
namespace {

// Stores the drops of text[begin, end), "+"-separated, into part. Drops after the
// kMaxDrops-th are left out; a drop the file cannot mean (0, above 255, four digits or more)
// leaves the whole part out.
void SplitPart(const char *text, size_t begin, size_t end, RoutePart *part) {
    part->count = 0;
    size_t position = begin;
    while (position < end) {
        const DropText drop = ScanDrop(text, position, end);
        if (!IsStoredDrop(ClassifyDrop(drop))) {
            part->count = 0;
            part->leftOut = true;
            part->badDropBegin = drop.begin;
            part->badDropLength = drop.end - drop.begin;
            return;
        }
        if (part->count < kMaxDrops) {
            part->drops[part->count++] = static_cast<uint8_t>(drop.value);
        }
        position = drop.end + 1;
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
