#include "routing/route_table.h"

#include <cstring>

#include "driver/log.h"
#include "link/bytes.h"
#include "routing/route_line.h"

namespace vpisd {
namespace {

// A slot: 2 name bytes, the normal drops, then, when the line gave a backup route, the
// separator 0x2C and the backup drops; zero bytes after. A drop of 44 is stored as 0x2C
// as well, so the separator is the LAST 0x2C before the first zero byte (or the slot's
// end), and the slot has a backup route only when at least one drop follows it:
//  - a normal route holding 44 without a backup route ends in a bare separator, so its
//    44s are never taken for one: 1+44 -> 01 2C 2C;
//  - a backup route cannot hold 44 (it would move the separator); such a backup route is
//    left out of the slot and the loader reports the line.
// A part holding a drop outside 1 to 255 is left out, and without its normal part the
// line stores nothing. Every frame therefore goes over a route exactly as the init file
// gave it, or not at all over that part. A part keeps its first kMaxDrops drops; later
// drops of an illegal line are left out, so a slot never needs more than its 19 bytes.
constexpr int kNameBytes = 2;

struct SlotParts {
    int normalBegin;
    int normalEnd;
    int backupBegin;
    int backupEnd; // equal to backupBegin: no backup route
};

SlotParts FindParts(const uint8_t *slot) {
    int end = kNameBytes;
    int separator = -1;
    while (end < kRouteSlotBytes && slot[end] != 0) {
        if (slot[end] == kRouteSeparator) {
            separator = end;
        }
        ++end;
    }
    if (separator < 0) {
        return {kNameBytes, end, end, end};
    }
    return {kNameBytes, separator, separator + 1, end};
}

bool ValidSlot(int slot) {
    return slot >= 0 && slot < kSlotCount;
}

} // namespace

int HasRoutes(const VpiContext *context) {
    if (context == nullptr) {
        return 0;
    }
    for (int slot = 1; slot < kSlotCount; ++slot) {
        if (context->routes[slot][0] != 0) {
            return 1;
        }
    }
    return 0;
}

int HasBackupRoute(const VpiContext *context, int slot) {
    if (context == nullptr || !ValidSlot(slot)) {
        return 0;
    }
    const SlotParts parts = FindParts(context->routes[slot]);
    return parts.backupEnd > parts.backupBegin ? 1 : 0;
}

void StoreRoute(VpiContext *context, const char *line, int slot) {
    if (context == nullptr || line == nullptr || slot < 1 || slot >= kSlotCount) {
        return;
    }
    RouteLineDrops drops{};
    SplitRouteLine(line, &drops);
    // A normal route the file cannot mean leaves the slot empty: no tag can name the PLC.
    if (drops.normal.leftOut) {
        return;
    }
    uint8_t stored[kRouteSlotBytes] = {};
    int size = 0;
    for (; size < kNameBytes && line[size] != '\0'; ++size) {
        stored[size] = static_cast<uint8_t>(line[size]);
    }
    size = kNameBytes;
    bool normalHoldsSeparator = false;
    for (int i = 0; i < drops.normal.count; ++i) {
        stored[size++] = drops.normal.drops[i];
        normalHoldsSeparator = normalHoldsSeparator || drops.normal.drops[i] == kRouteSeparator;
    }
    const bool keepBackup = drops.backup.count > 0 && BackupHoldsSeparatorByte(drops) == 0;
    if (keepBackup || normalHoldsSeparator) {
        stored[size++] = kRouteSeparator;
    }
    if (keepBackup) {
        for (int i = 0; i < drops.backup.count; ++i) {
            stored[size++] = drops.backup.drops[i];
        }
    }
    std::memcpy(context->routes[slot], stored, sizeof stored);
}

int EncodeRoute(const VpiContext *context, uint8_t *out, int slot) {
    if (context == nullptr || out == nullptr || !ValidSlot(slot)) {
        return 0;
    }
    const uint8_t *bytes = context->routes[slot];
    const SlotParts parts = FindParts(bytes);
    const bool backup = context->useBackup[slot] != 0 && parts.backupEnd > parts.backupBegin;
    const int begin = backup ? parts.backupBegin : parts.normalBegin;
    int end = backup ? parts.backupEnd : parts.normalEnd;
    if (end - begin > kMaxDrops) {
        end = begin + kMaxDrops;
    }
    int written = 0;
    for (int i = begin; i < end; ++i) {
        ToHexPair(bytes[i], out + written);
        written += 2;
    }
    return written;
}

void SwitchRoute(VpiContext *context, int slot) {
    if (HasBackupRoute(context, slot) == 0) {
        return;
    }
    const int vpi = context->vpiNumber;
    if (context->useBackup[slot] == 0) {
        Log(LOG_EVENT, "VPISD: Comms fail! Backup Route will be used. VPI %d PLC %d", vpi, slot);
        context->useBackup[slot] = 1;
    } else {
        Log(LOG_EVENT, "VPISD: Comms fail! Normal Route will be used. VPI %d PLC %d", vpi, slot);
        context->useBackup[slot] = 0;
    }
}

} // namespace vpisd
