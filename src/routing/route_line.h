// The drops of one init-file line, as the route table stores them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "routing/route_table.h"

namespace vpisd {

// One part of a line (normal or backup) as stored drop bytes.
struct RoutePart {
    uint8_t drops[kMaxDrops];
    int count;
    // A drop the file cannot mean (0, above 255, or four digits or more) leaves the whole
    // part out: count is 0 and the drop's text is line[badDropBegin, + badDropLength).
    bool leftOut;
    size_t badDropBegin;
    size_t badDropLength;
};

struct RouteLineDrops {
    RoutePart normal;
    RoutePart backup;
};

// Splits a line (spaces and line end removed) at its first "," into the drop bytes of
// each part, at most kMaxDrops per part. A drop's value is its leading digits; one
// without digits (an empty drop too) counts as 0.
void SplitRouteLine(const char *line, RouteLineDrops *drops);
// 1 when the backup part holds a drop stored as the separator byte: such a backup
// route cannot be kept apart from the normal route and is left out of the slot.
int BackupHoldsSeparatorByte(const RouteLineDrops &drops);

} // namespace vpisd
