// The drops of one init-file line, as the route table stores them.
#pragma once

#include <cstdint>

#include "routing/route_table.h"

namespace vpisd {

struct RouteLineDrops {
    uint8_t normal[kMaxDrops];
    int normalCount;
    uint8_t backup[kMaxDrops];
    int backupCount;
};

// Splits a line (spaces and line end removed) at its first "," into the stored drop
// bytes of each part: the low 8 bits of each drop's leading digits, a drop of 0 ending
// its part (a zero in the normal part also ends the line), at most kMaxDrops per part.
void SplitRouteLine(const char *line, RouteLineDrops *drops);
// 1 when the backup part holds a drop stored as the separator byte: such a backup
// route cannot be kept apart from the normal route and is left out of the slot.
int BackupHoldsSeparatorByte(const RouteLineDrops &drops);

} // namespace vpisd
