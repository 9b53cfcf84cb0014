// The driver's frame code against the simulator's, which was written apart from it:
//  - a request frame from BuildFrame must read back through the simulator's frame reader as
//    one well-formed frame with the same toggle, route and body, and the trailer as a filler;
//  - a reply that the simulator encodes for the reversed route must pass the driver's frame
//    end, frame, route checks and hand back the same body.
// Input: toggle choice, route drops, then the body.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/context.h"
#include "fuzz_support.h"
#include "link/bytes.h"
#include "link/frame.h"
#include "link/reply.h"
#include "routing/route_table.h"
#include "sim/codec.h"

using namespace vpisd;

namespace {

// The largest body a read or write builds: a write of 128 words.
constexpr size_t kLargestCommandBody = 262;

void RequestFrame(uint8_t toggle, const uint8_t *route, int routeLength, const uint8_t *body,
                  int bodyLength) {
    VpiContext context{};
    TagAccess tag{};
    tag.slot = 7;
    context.toggle[tag.slot] = toggle;
    VpiRequest request{};
    request.context = &context;
    request.data = &tag;

    auto *frame = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
    const int length = BuildFrame(&request, body, bodyLength, route, routeLength, frame);
    FUZZ_CHECK(length >= 8 && length < kWorkBufferBytes);
    frame[length] = TRAILER; // as SendFrame puts it after the frame

    sim::FrameReader reader;
    sim::LinkEvent event;
    int frames = 0;
    for (int i = 0; i <= length; ++i) {
        const bool completed = reader.Feed(frame[i], event);
        if (i < length - 1) {
            FUZZ_CHECK(!completed);
        } else if (i == length - 1) {
            FUZZ_CHECK(completed && event.kind == sim::LinkEvent::Kind::Frame);
            FUZZ_CHECK(event.frame.ok() && event.frame.toggle == toggle);
            FUZZ_CHECK(event.frame.rawLength == static_cast<size_t>(length));
            FUZZ_CHECK(event.frame.route == std::string(reinterpret_cast<const char *>(route),
                                                        static_cast<size_t>(routeLength)));
            FUZZ_CHECK(event.frame.body == std::vector<uint8_t>(body, body + bodyLength));
            ++frames;
        } else {
            FUZZ_CHECK(completed && event.kind == sim::LinkEvent::Kind::Filler);
        }
    }
    FUZZ_CHECK(frames == 1);
    std::free(frame);
}

void ReplyFrame(uint8_t toggle, const uint8_t *route, int routeLength, const uint8_t *body,
                size_t bodyLength) {
    const std::string sent(reinterpret_cast<const char *>(route), static_cast<size_t>(routeLength));
    const std::vector<uint8_t> encoded =
        sim::EncodeFrame(toggle, sim::ReverseRouteGroups(sent), {body, bodyLength});
    if (encoded.size() > static_cast<size_t>(kReplyMaxBytes)) {
        return; // longer than any reply the driver takes in
    }
    const int length = static_cast<int>(encoded.size());
    auto *received = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
    std::memcpy(received, encoded.data(), encoded.size());

    // The receiver stops at the first frame end after the header: it must be the real one.
    for (int offset = 3; offset < length - 2; ++offset) {
        FUZZ_CHECK(IsFrameEnd(received, offset) == 0);
    }
    FUZZ_CHECK(IsFrameEnd(received, length - 2) == 1);
    FUZZ_CHECK(CheckReplyFrame(received, length, routeLength) == 1);

    auto *copy = static_cast<uint8_t *>(std::malloc(kReplyMaxBytes));
    const int copyLength = CopyReply(received, copy, length);
    FUZZ_CHECK(CheckReplyRoute(copy, copyLength, route, routeLength) == 1);
    auto *data = static_cast<uint8_t *>(std::malloc(kWorkBufferBytes));
    const int dataLength = ExtractReplyData(copy, copyLength, data, routeLength);
    FUZZ_CHECK(dataLength == static_cast<int>(bodyLength));
    FUZZ_CHECK(std::equal(data, data + dataLength, body));
    std::free(data);
    std::free(copy);
    std::free(received);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    fuzz::InputReader reader(input, size);
    const uint8_t toggle = (reader.Byte() & 1) != 0 ? TOGGLE_ODD : TOGGLE_EVEN;
    uint8_t route[kRouteTextBytes] = {};
    int routeLength = 0;
    const int drops = reader.Byte() % (kMaxDrops + 1);
    for (int i = 0; i < drops; ++i) {
        ToHexPair(std::max<uint8_t>(reader.Byte(), 1), route + routeLength);
        routeLength += 2;
    }
    // Exact heap copies, so that a read past the body is caught.
    const size_t bodyLength = reader.RestSize();
    auto *body = static_cast<uint8_t *>(std::malloc(std::max<size_t>(bodyLength, 1)));
    std::memcpy(body, reader.Rest(), bodyLength);

    if (bodyLength <= kLargestCommandBody) {
        RequestFrame(toggle, route, routeLength, body, static_cast<int>(bodyLength));
    }
    ReplyFrame(toggle, route, routeLength, body, bodyLength);
    std::free(body);
    return 0;
}
