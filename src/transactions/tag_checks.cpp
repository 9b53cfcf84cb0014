#include "transactions/tag_checks.h"

#include <cstring>

#include "driver/log.h"
#include "routing/route_table.h"

namespace vpisd {

void CopyGas(const char *gas, char *copy, int copyCharacters) {
    int i = 0;
    for (; i < copyCharacters && gas[i] != '\0'; ++i) {
        const char c = gas[i];
        copy[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    copy[i] = '\0';
}

int IsRouteTag(const char *gasCopy) {
    // The prefix is two characters; a shorter copy ends before "!ROUTE" could start.
    if (gasCopy[0] == '\0' || gasCopy[1] == '\0') {
        return 0;
    }
    return std::strcmp(gasCopy + 2, "!ROUTE") == 0 ? 1 : 0;
}

int CheckTagRecord(const TagAccess *tag, const char *gasCopy, const char *operation) {
    if (tag->gas == nullptr) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = (none): no GAS", operation);
        return 0;
    }
    if (tag->values == nullptr) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: no value buffer", operation, gasCopy);
        return 0;
    }
    if (tag->slot < 0 || tag->slot > kMaxSlot) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: slot %d is not 0 to 99", operation, gasCopy,
            static_cast<int>(tag->slot));
        return 0;
    }
    return 1;
}

int CheckTagCommand(const TagAccess *tag, const char *gasCopy, const char *operation,
                    bool isWrite) {
    const bool bitTag = tag->type == kBitTagType;
    if (bitTag && (tag->bit < 0 || tag->bit > kMaxBit)) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: bit %d is not 0 to 15", operation, gasCopy,
            static_cast<int>(tag->bit));
        return 0;
    }
    const bool pairs = tag->kind == VPI_KIND_REGISTER_PAIR;
    const bool bitWrite = isWrite && bitTag;
    const int64_t words = bitWrite ? 1 : TagWordCount(tag);
    if (words < 1 || words > kMaxTagWords) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: count %d is not 1 to %d", operation, gasCopy,
            static_cast<int>(tag->count), pairs ? 64 : 128);
        return 0;
    }
    // Pair p begins at register 2p - 1.
    const int64_t first = pairs ? 2 * static_cast<int64_t>(tag->address) - 1 : tag->address;
    if (tag->address < 1 || first + words - 1 > kMaxRegister) {
        Log(LOG_EVENT,
            "VPISD: %s refused! GAS = %s: address %d and count %d are not within registers 1 to "
            "32768",
            operation, gasCopy, static_cast<int>(tag->address),
            static_cast<int>(bitWrite ? 1 : tag->count));
        return 0;
    }
    return 1;
}

int CheckTagRoute(const VpiContext *context, const TagAccess *tag, const char *gasCopy,
                  const char *operation) {
    const int slot = tag->slot;
    if (slot == 0) {
        return 1;
    }
    if (context->routes[slot][0] == 0) {
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: slot %d holds no route", operation, gasCopy,
            slot);
        return 0;
    }
    uint8_t route[kRouteTextBytes] = {};
    if (EncodeRoute(context, route, slot) == 0) {
        const bool backup = context->useBackup[slot] != 0 && HasBackupRoute(context, slot) != 0;
        Log(LOG_EVENT, "VPISD: %s refused! GAS = %s: the %s route of slot %d holds no drop",
            operation, gasCopy, backup ? "backup" : "normal", slot);
        return 0;
    }
    return 1;
}

int64_t TagWordCount(const TagAccess *tag) {
    const int64_t count = tag->count;
    return tag->kind == VPI_KIND_REGISTER_PAIR ? 2 * count : count;
}

int ReadReplyFitsTag(const TagAccess *tag, int bodyLength) {
    return static_cast<int64_t>(bodyLength) == 2 * TagWordCount(tag) + 4 ? 1 : 0;
}

} // namespace vpisd
