#include "tags/parser.h"

#include <cstring>

#include "driver/context.h"
#include "driver/log.h"
#include "routing/route_table.h"

namespace vpisd {
namespace {

enum class ParseMode { Single, Block };

// The upper-cased copy that the parse tests and quotes; a longer GAS is cut here and then
// rejected for its length.
constexpr int kGasCopyCharacters = 35;
// BlockParse keeps the GAS as given for its own message.
constexpr int kBlockGasCopyCharacters = 32;

constexpr int kShortestGas = 6; // prefix and four register digits
constexpr int kLongestGas = 8;  // prefix, register and bit number, or prefix and "!ROUTE"
constexpr int kRegisterGas = 6;
constexpr int kPairGas = 7;

constexpr int kRegisterPosition = 2;
constexpr int kRegisterDigits = 4;
constexpr int kBitPosition = 6;
constexpr int kBitDigits = 2;

constexpr int32_t kNoBit = 255;
constexpr int32_t kRouteAddress = 20000;
constexpr int32_t kBitType = 6;

constexpr int32_t kBlockRegisterLimit = 128;
constexpr int32_t kBlockPairLimit = 64;

// Copies at most `capacity` characters and the terminator; returns the copied length.
// A NULL text counts as empty.
int CopyGas(const char *gas, char *copy, int capacity, bool upperCase) {
    int length = 0;
    if (gas != nullptr) {
        for (; length < capacity && gas[length] != '\0'; ++length) {
            char c = gas[length];
            if (upperCase && c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
            copy[length] = c;
        }
    }
    copy[length] = '\0';
    return length;
}

// Leading decimal digits of text, at most maxDigits; false when there are none.
bool ReadLeadingNumber(const char *text, int maxDigits, int32_t *number) {
    int32_t value = 0;
    int digits = 0;
    for (; digits < maxDigits && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + (text[digits] - '0');
    }
    if (digits == 0) {
        return false;
    }
    *number = value;
    return true;
}

// The slot whose stored name is the prefix, first in slot order; 0 when none matches.
int FindPlcSlot(const VpiContext &context, const char *gas) {
    for (int slot = 1; slot < kSlotCount; ++slot) {
        const uint8_t *name = context.routes[slot];
        if (name[0] == static_cast<uint8_t>(gas[0]) && name[1] == static_cast<uint8_t>(gas[1])) {
            return slot;
        }
    }
    return 0;
}

int32_t ParseGas(const VpiContext &context, TagDescriptor &tag, ParseMode mode) {
    tag.bit = kNoBit;
    tag.width = 16;
    tag.slot = 0;
    tag.kind = VPI_KIND_REGISTER;

    char gas[kGasCopyCharacters + 1];
    const int length = CopyGas(tag.gas, gas, kGasCopyCharacters, true);
    if (length < kShortestGas || length > kLongestGas) {
        Log(LOG_EVENT, "VPISD: SingleParse() failed. Invalid Tag Address (%s)", gas);
        return VPI_REFUSED;
    }

    if (HasRoutes(&context) != 0) {
        const int slot = FindPlcSlot(context, gas);
        if (slot == 0) {
            Log(LOG_EVENT, "VPISD: Parse Failed, Invalid Route. GAS=%s", gas);
            return VPI_REFUSED;
        }
        tag.slot = slot;
    } else if (gas[0] != '0' || gas[1] != '0') {
        Log(LOG_EVENT, "VPISD: Parse Failed, Invalid Route. GAS=%s", gas);
        return VPI_REFUSED;
    }

    if (CheckTagCharacters(gas) == 0) {
        return VPI_REFUSED;
    }

    if (std::strcmp(gas + kRegisterPosition, "!ROUTE") == 0) {
        if (tag.type != kBitType) {
            return VPI_REFUSED;
        }
        tag.address = kRouteAddress;
        tag.kind = VPI_KIND_ROUTE;
        return VPI_OK;
    }

    if (!ReadLeadingNumber(gas + kRegisterPosition, kRegisterDigits, &tag.address) ||
        tag.address == 0) {
        return VPI_REFUSED;
    }

    if (length == kPairGas) {
        if (gas[kPairGas - 1] != 'F') {
            Log(LOG_EVENT, "VPISD: SingleParse() failed. Invalid Tag (%s)", gas);
            return VPI_REFUSED;
        }
        if (tag.address % 2 == 0) {
            Log(LOG_EVENT, "VPISD: SingleParse() failed. Tag (%s). Address should be ODD", gas);
            return VPI_REFUSED;
        }
        tag.width = 32;
        tag.kind = VPI_KIND_REGISTER_PAIR;
        tag.address = (tag.address + 1) / 2;
    }

    if (mode == ParseMode::Block) {
        return VPI_OK; // the block limits replace the type and bit tests
    }

    if (tag.kind == VPI_KIND_REGISTER_PAIR) {
        if (tag.type == 3 || tag.type == 4 || tag.type == 5) {
            return VPI_OK;
        }
        Log(LOG_EVENT, "VPISD: SingleParse() failed. Tag (%s). Wrong tag type", gas);
        return VPI_REFUSED;
    }

    if (length == kRegisterGas) {
        if (tag.type != 0 && tag.type != 1) {
            Log(LOG_EVENT, "VPISD: SingleParse() failed. Tag (%s). Illegal tag type", gas);
            return VPI_REFUSED;
        }
        return VPI_OK;
    }

    if (tag.type != kBitType) {
        return VPI_REFUSED;
    }
    int32_t bitNumber = 0; // no digits reads as bit 0, which is out of range
    ReadLeadingNumber(gas + kBitPosition, kBitDigits, &bitNumber);
    if (bitNumber < 1 || bitNumber > 16) {
        Log(LOG_EVENT, "VPISD: SingleParse() failed. Illegal bit number. GAS %s", gas);
        return VPI_REFUSED;
    }
    tag.bit = bitNumber - 1;
    return VPI_OK;
}

} // namespace

int32_t SingleParse(const VpiRequest *request) {
    if (request == nullptr || request->context == nullptr || request->data == nullptr) {
        return VPI_BAD_REQUEST;
    }
    return ParseGas(*request->context, *static_cast<TagDescriptor *>(request->data),
                    ParseMode::Single);
}

int32_t BlockParse(const VpiRequest *request) {
    if (request == nullptr || request->context == nullptr || request->data == nullptr) {
        return VPI_BAD_REQUEST;
    }
    TagDescriptor &tag = *static_cast<TagDescriptor *>(request->data);
    char gas[kBlockGasCopyCharacters + 1];
    const int length = CopyGas(tag.gas, gas, kBlockGasCopyCharacters, false);

    if (ParseGas(*request->context, tag, ParseMode::Block) != VPI_OK) {
        return VPI_REFUSED;
    }
    int32_t limit = 0;
    if (length == kRegisterGas) {
        limit = kBlockRegisterLimit;
    } else if (length == kPairGas) {
        limit = kBlockPairLimit;
    } else {
        return VPI_REFUSED; // bit tags and "!ROUTE" are not blocks
    }
    if (tag.count > limit) {
        Log(LOG_EVENT, "VPISD: BlockParse() failed. Block size too long. tag (%s)", gas);
        return VPI_REFUSED;
    }
    if (tag.count < 1) {
        Log(LOG_EVENT, "VPISD: BlockParse() failed. Block size below 1. tag (%s)", gas);
        return VPI_REFUSED;
    }
    return VPI_OK;
}

} // namespace vpisd
