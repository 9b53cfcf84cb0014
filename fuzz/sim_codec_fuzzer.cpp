// The simulator's frame reader fed the line byte by byte, as its PLC side reads it.
// A frame it calls well formed must be exactly what its own encoder gives for the toggle,
// route and body it read, byte for byte as it came off the line.
#include <cstddef>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "sim/codec.h"

using namespace vpisd::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FrameReader reader;
    LinkEvent event;
    for (size_t i = 0; i < size; ++i) {
        if (!reader.Feed(data[i], event)) {
            continue;
        }
        if (event.kind != LinkEvent::Kind::Frame && event.kind != LinkEvent::Kind::Aborted) {
            continue;
        }
        const Frame &frame = event.frame;
        FUZZ_CHECK(frame.rawLength >= 2 && frame.rawLength <= FrameReader::kMaxFrameBytes);
        FUZZ_CHECK(frame.route.size() + frame.body.size() <= frame.rawLength);
        if (event.kind == LinkEvent::Kind::Frame && frame.ok()) {
            FUZZ_CHECK(frame.rawLength <= i + 1);
            const std::span<const uint8_t> raw(data + i + 1 - frame.rawLength, frame.rawLength);
            const std::vector<uint8_t> again = EncodeFrame(frame.toggle, frame.route, frame.body);
            FUZZ_CHECK(again.size() == raw.size());
            FUZZ_CHECK(std::equal(again.begin(), again.end(), raw.begin()));
        }
    }
    return 0;
}
