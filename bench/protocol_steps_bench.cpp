// Cost of each protocol step on the largest frames the driver builds and accepts.
#include <benchmark/benchmark.h>

#include <cstring>

#include "driver/context.h"
#include "link/bytes.h"
#include "link/frame.h"
#include "link/reply.h"
#include "routing/route_table.h"
#include "tags/parser.h"
#include "transactions/body.h"

namespace {

using namespace vpisd;

// A context with one 8-drop route each way and a 128-word block tag.
struct Setup {
    Setup() {
        std::memset(&context, 0, sizeof context);
        StoreRoute(&context, "P1=1+2+3+4+5+6+7+8,9+10+11+12+13+14+15+16", 1);
        context.toggle[1] = 0x11;
        context.sequence[1] = 0x10; // a DLE in every body, doubled on the wire
        std::memset(values, 0x10, sizeof values);
        tag.gas = "P10001";
        tag.slot = 1;
        tag.kind = VPI_KIND_REGISTER;
        tag.address = 1;
        tag.bit = 255;
        tag.count = 128;
        tag.values = values;
        request = VpiRequest{&context, VPI_WRITE, 1, 0, &tag};
    }
    VpiContext context;
    uint16_t values[256];
    TagAccess tag{};
    VpiRequest request{};
};

void BM_BuildWorstCaseFrame(benchmark::State &state) {
    Setup setup;
    uint8_t body[kWorkBufferBytes];
    uint8_t route[kRouteTextBytes] = {};
    uint8_t frame[kWorkBufferBytes];
    const int bodyLength = BuildCommand(&setup.request, body, WRITE_COMMAND);
    const int routeLength = EncodeRoute(&setup.context, route, 1);
    int frameLength = 0;
    for (auto _ : state) {
        frameLength = BuildFrame(&setup.request, body, bodyLength, route, routeLength, frame);
        benchmark::DoNotOptimize(frame);
    }
    state.counters["frame_bytes"] = frameLength;
    state.SetBytesProcessed(state.iterations() * frameLength);
}
BENCHMARK(BM_BuildWorstCaseFrame);

void BM_CheckLargestReply(benchmark::State &state) {
    // A 128-word read reply of DLE bytes over an 8-drop route: the longest reply checked.
    Setup setup;
    uint8_t body[4 + 256];
    body[0] = READ_REPLY;
    body[1] = 0x10;
    body[2] = body[3] = 0;
    std::memset(body + 4, 0x10, 256);
    uint8_t route[kRouteTextBytes] = {};
    const int routeLength = EncodeRoute(&setup.context, route, 1);
    uint8_t reversed[kRouteTextBytes] = {};
    for (int group = 0; group < routeLength / 2; ++group) {
        std::memcpy(reversed + 2 * group, route + routeLength - 2 - 2 * group, 2);
    }
    uint8_t reply[kWorkBufferBytes];
    const int length = BuildFrame(&setup.request, body, sizeof body, reversed, routeLength, reply);
    setup.tag.count = 128;
    uint8_t copy[kReplyMaxBytes + 64];
    uint8_t data[kWorkBufferBytes];
    int accepted = 0;
    for (auto _ : state) {
        uint8_t error = 0;
        const int copyLength = CopyReply(reply, copy, length);
        const int dataLength = ExtractReplyData(copy, copyLength, data, routeLength);
        accepted = CheckReplyFrame(reply, length, routeLength) &&
                   CheckReplyRoute(copy, copyLength, route, routeLength) &&
                   CheckReplyBody(&setup.request, data, dataLength, READ_COMMAND, &error);
        benchmark::DoNotOptimize(accepted);
    }
    state.counters["reply_bytes"] = length;
    state.counters["accepted"] = accepted;
    state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_CheckLargestReply);

void BM_SingleParse(benchmark::State &state) {
    VpiContext context;
    std::memset(&context, 0, sizeof context);
    char name[8];
    for (int slot = 1; slot < kSlotCount; ++slot) { // the tag's PLC is the last of 99
        std::snprintf(name, sizeof name, "%c%c=%d", 'A' + slot / 10, 'A' + slot % 10, slot + 100);
        StoreRoute(&context, name, slot);
    }
    std::snprintf(name, sizeof name, "%c%c", 'A' + 99 / 10, 'A' + 99 % 10);
    char gas[16];
    std::snprintf(gas, sizeof gas, "%s0101F", name);
    TagDescriptor tag{};
    tag.gas = gas;
    tag.type = 3;
    const VpiRequest request{&context, VPI_SINGLE_PARSE, 1, 0, &tag};
    int32_t result = -1;
    for (auto _ : state) {
        result = SingleParse(&request);
        benchmark::DoNotOptimize(tag);
    }
    state.counters["accepted"] = result == 0;
}
BENCHMARK(BM_SingleParse);

} // namespace
