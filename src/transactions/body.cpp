#include "transactions/body.h"

#include "driver/context.h"
#include "driver/log.h"
#include "link/bytes.h"

namespace vpisd {
namespace {

constexpr int32_t kBitType = 6;
constexpr int kBitCount = 16;
constexpr int kBodyHeaderBytes = 4;  // code, sequence, register offset
constexpr int kReadCommandBytes = 6; // header and the word count
constexpr int kBitWriteBytes = 8;    // header, shifted value, bit mask
constexpr int kWriteReplyBytes = 2;  // code, sequence
constexpr uint8_t kEndMarker = 0xFF; // two of them close a register write
constexpr int kErrorCodeByte = 2;
// The block limits of the parse: 128 registers, or 64 values of two registers.
constexpr int32_t kMaxWriteWords = 128;

// Entry b is the word with only bit b set, high byte first, copied into bodies as stored.
constexpr uint8_t kBitMasks[kBitCount][2] = {
    {0x00, 0x01}, {0x00, 0x02}, {0x00, 0x04}, {0x00, 0x08}, {0x00, 0x10}, {0x00, 0x20},
    {0x00, 0x40}, {0x00, 0x80}, {0x01, 0x00}, {0x02, 0x00}, {0x04, 0x00}, {0x08, 0x00},
    {0x10, 0x00}, {0x20, 0x00}, {0x40, 0x00}, {0x80, 0x00},
};

const TagAccess &TagOf(const VpiRequest *request) {
    return *static_cast<const TagAccess *>(request->data);
}

// The slot indexes the per-slot arrays as an unsigned 16-bit number.
bool SlotInRange(const TagAccess &tag) {
    return static_cast<uint16_t>(tag.slot) < kSlotCount;
}

bool BitInRange(const TagAccess &tag) {
    return tag.bit >= 0 && tag.bit < kBitCount;
}

uint8_t SequenceOf(const VpiContext &context, const TagAccess &tag) {
    return context.sequence[static_cast<uint16_t>(tag.slot)];
}

// Words the tag covers: one per register, two per 32-bit value. Computed in 64 bits: the
// host's count is not trusted here, and a wrapped count would read other words than the
// host's buffer holds.
int64_t WordCount(const TagAccess &tag) {
    const int64_t count = tag.count;
    return tag.kind == VPI_KIND_REGISTER_PAIR ? 2 * count : count;
}

// Byte offset of the first register from register 1, in 16-bit arithmetic.
uint16_t RegisterOffset(const TagAccess &tag) {
    const auto address = static_cast<uint32_t>(tag.address);
    if (tag.kind == VPI_KIND_REGISTER_PAIR) {
        const auto firstRegister = static_cast<uint16_t>(2u * address - 1u);
        return static_cast<uint16_t>(static_cast<uint16_t>(firstRegister * 2u) - 2u);
    }
    return static_cast<uint16_t>(2u * address - 2u);
}

} // namespace

int BuildCommand(const VpiRequest *request, uint8_t *body, uint8_t code) {
    const TagAccess &tag = TagOf(request);
    const bool bitWrite = code == WRITE_COMMAND && tag.type == kBitType;
    const bool wordWrite = code == WRITE_COMMAND && !bitWrite;
    if (!SlotInRange(tag) || (bitWrite && !BitInRange(tag)) ||
        (wordWrite && (WordCount(tag) < 1 || WordCount(tag) > kMaxWriteWords))) {
        return 0; // nothing that could run past the caller's body buffer
    }
    body[0] = code;
    body[1] = SequenceOf(*request->context, tag);
    PutWordBigEndian(RegisterOffset(tag), body + 2);
    const int64_t words = WordCount(tag);

    if (code == READ_COMMAND) {
        // Truncated like the 16-bit field it fills, for any count the host gives.
        PutWordBigEndian(static_cast<uint32_t>(words - 1), body + 4);
        return kReadCommandBytes;
    }

    if (bitWrite) {
        // The value is shifted as it stands, not reduced to 0 or 1 first.
        PutWordBigEndian(static_cast<uint32_t>(tag.values[1]) << tag.bit, body + 4);
        body[6] = kBitMasks[tag.bit][0];
        body[7] = kBitMasks[tag.bit][1];
        return kBitWriteBytes;
    }

    int length = kBodyHeaderBytes;
    if (words == 1) {
        PutWordBigEndian(tag.values[1], body + length);
        length += 2;
    } else {
        for (int64_t i = 0; i < words; ++i) {
            PutWordBigEndian(tag.values[i], body + length);
            length += 2;
        }
    }
    body[length++] = kEndMarker;
    body[length++] = kEndMarker;
    return length;
}

int CheckReplyBody(const VpiRequest *request, const uint8_t *body, int length, uint8_t code,
                   uint8_t *errorCode) {
    uint8_t ignored = 0;
    if (errorCode == nullptr) {
        errorCode = &ignored;
    }
    *errorCode = 0;
    if (length < 1) {
        return 0;
    }
    if (body[0] == ERROR_REPLY) {
        // A reply cut before its code byte carries no code: report 0 rather than a stale byte.
        const uint8_t plcCode = length > kErrorCodeByte ? body[kErrorCodeByte] : 0;
        Log(LOG_DEBUG, "VPISD:Error Reply received.Errcode: %x Hex", static_cast<int>(plcCode));
        *errorCode = plcCode;
        return 0;
    }
    const TagAccess &tag = TagOf(request);
    if (!SlotInRange(tag) || length < kWriteReplyBytes) {
        return 0;
    }
    const uint8_t sequence = SequenceOf(*request->context, tag);
    if (code == WRITE_COMMAND) {
        return length == kWriteReplyBytes && body[0] == WRITE_REPLY && body[1] == sequence ? 1 : 0;
    }
    if (code == READ_COMMAND) {
        const auto words = static_cast<uint16_t>(WordCount(tag));
        return length == 2 * words + kBodyHeaderBytes && body[0] == READ_REPLY &&
                       body[1] == sequence
                   ? 1
                   : 0;
    }
    return 0;
}

void StoreReadValues(const uint8_t *body, int length, const TagAccess *tag) {
    const int64_t words = WordCount(*tag);
    // Never past the accepted reply, whatever the count says.
    const int32_t available = length > kBodyHeaderBytes ? (length - kBodyHeaderBytes) / 2 : 0;
    const uint8_t *data = body + kBodyHeaderBytes;
    if (words == 1) {
        if (available < 1) {
            return;
        }
        uint16_t word = static_cast<uint16_t>(data[0] << 8 | data[1]);
        if (tag->type == kBitType) {
            word = static_cast<uint16_t>(BitInRange(*tag) ? (word >> tag->bit) & 1 : 0);
        }
        tag->values[1] = word;
        return;
    }
    for (int32_t i = 0; i < words && i < available; ++i) {
        tag->values[i] = static_cast<uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
    }
}

} // namespace vpisd
