// The host's TagAccess as a read or write sends it: BuildCommand from arbitrary tag fields
// into an exact 700-byte body block, with the value buffer as large as the host must make
// it, then BuildFrame into an exact 700-byte frame block; the simulator reads the frame back.
// Input: command, kind selector, raw kind, type, bit, count and address (32 bits each), slot,
// sequence, toggle, route drops, then the value words.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/context.h"
#include "fuzz_support.h"
#include "link/bytes.h"
#include "link/frame.h"
#include "routing/route_table.h"
#include "sim/codec.h"
#include "transactions/body.h"
#include "transactions/tag_checks.h"

using namespace vpisd;

namespace {

constexpr size_t kLargestBody = 262; // a write of 128 words
constexpr size_t kLargestFrame = 8 + 16 + 2 * kLargestBody;

int32_t KindOf(uint8_t selector, int16_t raw) {
    switch (selector % 3) {
    case 0:
        return VPI_KIND_REGISTER;
    case 1:
        return VPI_KIND_REGISTER_PAIR;
    default:
        return raw;
    }
}

uint16_t WordAt(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void CheckBody(const TagAccess &tag, uint8_t code, uint8_t sequence, const uint8_t *body,
               int length) {
    const int64_t words = TagWordCount(&tag);
    FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) <= kLargestBody);
    if (length == 0) {
        return; // refused: a tag that would index past a table or the body
    }
    FUZZ_CHECK(body[0] == code && body[1] == sequence);
    if (code == READ_COMMAND) {
        FUZZ_CHECK(length == 6);
        FUZZ_CHECK(WordAt(body + 4) == static_cast<uint16_t>(words - 1));
        return;
    }
    if (tag.type == 6) {
        FUZZ_CHECK(length == 8 && tag.bit >= 0 && tag.bit <= 15);
        FUZZ_CHECK(WordAt(body + 6) == (1u << tag.bit));
        FUZZ_CHECK(WordAt(body + 4) == static_cast<uint16_t>(tag.values[1] << tag.bit));
        return;
    }
    // A write the transaction lets through (1 to 128 words) carries every word and the end
    // marker.
    if (words >= 1 && words <= 128) {
        FUZZ_CHECK(length == 4 + 2 * words + 2);
        for (int64_t i = 0; i < words; ++i) {
            const uint16_t expected = words == 1 ? tag.values[1] : tag.values[i];
            FUZZ_CHECK(WordAt(body + 4 + 2 * i) == expected);
        }
        FUZZ_CHECK(body[length - 2] == 0xFF && body[length - 1] == 0xFF);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint8_t code = (input.Byte() & 1) != 0 ? WRITE_COMMAND : READ_COMMAND;
    TagAccess tag{};
    const uint8_t kindSelector = input.Byte();
    tag.kind = KindOf(kindSelector, input.Int16());
    tag.type = static_cast<int8_t>(input.Byte());
    tag.bit = static_cast<int8_t>(input.Byte());
    tag.count = input.Int32();
    tag.address = input.Int32();
    tag.slot = static_cast<int8_t>(input.Byte());
    VpiContext context{};
    const auto slotIndex = static_cast<uint16_t>(tag.slot);
    const uint8_t sequence = input.Byte();
    const uint8_t toggle = (input.Byte() & 1) != 0 ? TOGGLE_ODD : TOGGLE_EVEN;
    if (slotIndex < kSlotCount) {
        context.sequence[slotIndex] = sequence;
        context.toggle[slotIndex] = toggle;
    }
    uint8_t route[kRouteTextBytes] = {};
    int routeLength = 0;
    const int drops = input.Byte() % (kMaxDrops + 1);
    for (int i = 0; i < drops; ++i) {
        ToHexPair(std::max<uint8_t>(input.Byte(), 1), route + routeLength);
        routeLength += 2;
    }

    // The host's buffer: n words, two when n is 1; a bit tag keeps its value in element 1
    // whatever its count. A tag of no words or more than a write can carry gets two: only a
    // read (which reads no values) or a refusal can follow.
    const int64_t words = TagWordCount(&tag);
    const size_t valueWords = words >= 2 && words <= 128 ? static_cast<size_t>(words) : 2;
    std::vector<uint16_t> values(valueWords);
    for (uint16_t &value : values) {
        value = static_cast<uint16_t>(input.Int16());
    }
    tag.values = values.data();
    VpiRequest request{};
    request.context = &context;
    request.command = code == READ_COMMAND ? VPI_READ : VPI_WRITE;
    request.data = &tag;

    auto *body = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
    std::memset(body, fuzz::kGuardByte, kWorkBufferBytes);
    const int length = BuildCommand(&request, body, code);
    CheckBody(tag, code, sequence, body, length);
    // A tag a transaction lets through goes out at its own offset, never wrapped onto
    // another register.
    if (length > 0 && CheckTagCommand(&tag, "FUZZ", "Fuzz", code == WRITE_COMMAND) == 1) {
        const int64_t first =
            tag.kind == VPI_KIND_REGISTER_PAIR ? 2 * int64_t{tag.address} - 1 : tag.address;
        FUZZ_CHECK(first >= 1 && WordAt(body + 2) == 2 * (first - 1));
    }
    FUZZ_CHECK(fuzz::Untouched(body, static_cast<size_t>(std::max(length, 0)), kWorkBufferBytes));

    if (length > 0) {
        auto *frame = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
        const int frameLength = BuildFrame(&request, body, length, route, routeLength, frame);
        FUZZ_CHECK(frameLength >= 8 && static_cast<size_t>(frameLength) <= kLargestFrame);
        sim::FrameReader reader;
        sim::LinkEvent event;
        int frames = 0;
        for (int i = 0; i < frameLength; ++i) {
            if (reader.Feed(frame[i], event)) {
                FUZZ_CHECK(i == frameLength - 1 && event.kind == sim::LinkEvent::Kind::Frame);
                FUZZ_CHECK(event.frame.ok() && event.frame.toggle == toggle);
                FUZZ_CHECK(event.frame.body == std::vector<uint8_t>(body, body + length));
                FUZZ_CHECK(event.frame.route == std::string(reinterpret_cast<const char *>(route),
                                                            static_cast<size_t>(routeLength)));
                ++frames;
            }
        }
        FUZZ_CHECK(frames == 1);
        std::free(frame);
    }
    std::free(body);
    return 0;
}
