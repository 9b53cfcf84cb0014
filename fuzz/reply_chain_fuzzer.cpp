// The checks of a received reply frame in the order a read or write applies them, with the
// transactions' buffer sizes as exact heap blocks (any access past one is caught), and the
// values buffer sized by the tag as the host must size it.
// Input: fixes, route drops, the tag (kind, type, bit, count, slot, sequence), then the frame.
//   fixes bit 0: write DLE SOH and a toggle at offsets 0 to 2; bit 1: DLE STX after the route;
//   bit 2: a right checksum in the last byte. They let the fuzzer past checks it rarely
//   passes by chance; every other byte stays the input's.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/context.h"
#include "fuzz_support.h"
#include "link/bytes.h"
#include "link/frame.h"
#include "link/reply.h"
#include "routing/route_table.h"
#include "transactions/body.h"
#include "transactions/tag_checks.h"
#include "transactions/transactions.h"

using namespace vpisd;

namespace {

constexpr uint16_t kValueGuard = 0xA5A5;

// A heap block of exactly `size` bytes, each set to `fill`.
struct Block {
    explicit Block(size_t size, uint8_t fill) : bytes(static_cast<uint8_t *>(std::malloc(size))) {
        std::memset(bytes, fill, size);
    }
    ~Block() { std::free(bytes); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    uint8_t *bytes;
};

int32_t KindOf(uint8_t selector, int16_t raw) {
    switch (selector % 4) {
    case 0:
        return VPI_KIND_REGISTER;
    case 1:
        return VPI_KIND_REGISTER_PAIR;
    case 2:
        return VPI_KIND_ROUTE;
    default:
        return raw; // a kind no parse gives
    }
}

// What the host must provide: n words, and two when n is 1 (the value goes to element 1).
size_t ValueWords(const TagAccess &tag) {
    const int64_t words = TagWordCount(&tag);
    if (words <= 0) {
        return 1;
    }
    return words == 1 ? 2 : static_cast<size_t>(words);
}

void CheckStoredValues(const TagAccess &tag, const uint16_t *values, size_t valueWords,
                       const uint8_t *body) {
    const int64_t words = TagWordCount(&tag);
    if (words == 1) {
        FUZZ_CHECK(values[0] == kValueGuard); // element 0 is not the value of a single word
        const auto word = static_cast<uint16_t>(body[4] << 8 | body[5]);
        if (tag.type == 6) {
            FUZZ_CHECK(values[1] == ((word >> tag.bit) & 1));
        } else {
            FUZZ_CHECK(values[1] == word);
        }
        return;
    }
    if (words <= 0) {
        FUZZ_CHECK(values[0] == kValueGuard); // no words: nothing to store
        return;
    }
    // Every word in register order, high byte first on the wire.
    for (size_t i = 0; i < valueWords; ++i) {
        FUZZ_CHECK(values[i] == static_cast<uint16_t>(body[4 + 2 * i] << 8 | body[5 + 2 * i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint8_t fixes = input.Byte();

    // The route as EncodeRoute gives it: two hex characters per non-zero drop, at most 8.
    Block route(kRouteTextBytes, 0);
    int routeLength = 0;
    const int drops = input.Byte() % (kMaxDrops + 1);
    for (int i = 0; i < drops; ++i) {
        ToHexPair(static_cast<uint8_t>(std::max<uint8_t>(input.Byte(), 1)),
                  route.bytes + routeLength);
        routeLength += 2;
    }

    TagAccess tag{};
    const uint8_t kindSelector = input.Byte();
    tag.kind = KindOf(kindSelector, input.Int16());
    tag.type = static_cast<int8_t>(input.Byte());
    tag.bit = static_cast<int8_t>(input.Byte());
    tag.count = input.Int16();
    tag.slot = input.Byte() % kSlotCount;
    tag.address = 1;
    VpiContext context{};
    context.sequence[tag.slot] = input.Byte();

    const size_t valueWords = ValueWords(tag);
    std::vector<uint16_t> values(valueWords, kValueGuard);
    tag.values = values.data();
    char gas[] = "P10001";
    tag.gas = gas;
    VpiRequest request{};
    request.context = &context;
    request.command = VPI_READ;
    request.data = &tag;

    // The frame as ReceiveReply leaves it in the 700-byte receive buffer: at most 651 bytes.
    Block received(kWorkBufferBytes, 0);
    const int length = static_cast<int>(std::min<size_t>(input.RestSize(), kReplyMaxBytes));
    std::memcpy(received.bytes, input.Rest(), static_cast<size_t>(length));
    if ((fixes & 1) != 0 && length >= 3) {
        received.bytes[0] = DLE;
        received.bytes[1] = SOH;
        received.bytes[2] = (received.bytes[2] & 1) != 0 ? TOGGLE_ODD : TOGGLE_EVEN;
    }
    if ((fixes & 2) != 0 && 3 + routeLength + 1 < length) {
        received.bytes[3 + routeLength] = DLE;
        received.bytes[4 + routeLength] = STX;
    }
    if ((fixes & 4) != 0 && length >= 3) {
        received.bytes[length - 1] = Checksum(received.bytes + 2, static_cast<size_t>(length - 3));
    }
    for (int offset = 0; offset < length; ++offset) {
        const int end = IsFrameEnd(received.bytes, offset);
        FUZZ_CHECK(end == 0 || end == 1);
    }

    if (CheckReplyFrame(received.bytes, length, routeLength) == 0) {
        return 0;
    }
    Block copy(kReplyMaxBytes, 0);
    const int copyLength = CopyReply(received.bytes, copy.bytes, length);
    FUZZ_CHECK(copyLength > 0 && copyLength <= length);
    if (CheckReplyRoute(copy.bytes, copyLength, route.bytes, routeLength) == 0) {
        return 0;
    }
    Block body(kWorkBufferBytes, 0);
    const int bodyLength = ExtractReplyData(copy.bytes, copyLength, body.bytes, routeLength);
    // Everything between DLE STX and DLE ETX, or nothing.
    FUZZ_CHECK(bodyLength == std::max(0, copyLength - 8 - routeLength));

    uint8_t errorCode = 0xEE;
    const int written = CheckReplyBody(&request, body.bytes, bodyLength, WRITE_COMMAND, &errorCode);
    FUZZ_CHECK(written == 0 || written == 1);
    if (written == 1) {
        FUZZ_CHECK(bodyLength == 2 && body.bytes[0] == WRITE_REPLY && errorCode == 0);
    }
    FUZZ_CHECK(errorCode == 0 || (bodyLength > 0 && body.bytes[0] == ERROR_REPLY));

    // A read refuses a bit tag whose bit is not 0 to 15 before anything is sent.
    char gasCopy[kGasCopyCharacters + 1];
    CopyGas(tag.gas, gasCopy, kGasCopyCharacters);
    if (tag.kind == VPI_KIND_ROUTE || CheckTagCommand(&tag, gasCopy, "Read", false) == 0) {
        return 0;
    }
    if (CheckReplyBody(&request, body.bytes, bodyLength, READ_COMMAND, &errorCode) == 0 ||
        ReadReplyFitsTag(&tag, bodyLength) == 0) {
        FUZZ_CHECK(
            std::all_of(values.begin(), values.end(), [](uint16_t v) { return v == kValueGuard; }));
        return 0;
    }
    FUZZ_CHECK(bodyLength >= 4 && body.bytes[0] == READ_REPLY &&
               body.bytes[1] == context.sequence[tag.slot]);
    StoreReadValues(body.bytes, bodyLength, &tag);
    CheckStoredValues(tag, values.data(), valueWords, body.bytes);
    return 0;
}
