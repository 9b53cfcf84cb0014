// Whole register reads through the driver over a pseudo-terminal against the
// in-process simulator (no pacing: the figures are the driver's and the pty's own
// cost), and the stack that one read uses.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstring>
#include <vector>

#include "driver/context.h"
#include "routing/route_table.h"
#include "serial/port.h"
#include "sim/config.h"
#include "sim/simulator.h"
#include "transactions/transactions.h"

// The host's logger: the benchmark measures the line, not the log.
extern "C" __attribute__((visibility("default"))) void VpiHostLog(int32_t, const char *, ...) {}

namespace {

using namespace vpisd;

struct Line {
    Line() : simulator(sim::ParseNetwork("[plc P1]\nroute = 1+5\nbackup = 2+5\n")) {
        simulator.Start();
        std::memset(&context, 0, sizeof context);
        StoreRoute(&context, "P1=1+5,2+5", 1);
        OpenPort(simulator.PortPath().c_str(), 9600, 8, 0, 2, 8, &context.port);
        context.timeout = 100;
        SetReadTimeout(context.port, context.timeout);
    }
    ~Line() {
        ClosePort(context.port);
        simulator.Stop();
    }
    int32_t Read(int32_t count) {
        TagAccess tag{};
        tag.gas = "P10001";
        tag.slot = 1;
        tag.kind = VPI_KIND_REGISTER;
        tag.address = 1;
        tag.bit = 255;
        tag.count = count;
        tag.values = values;
        const VpiRequest request{&context, VPI_READ, 1, 0, &tag};
        return ReadTransaction(&request);
    }
    sim::Simulator simulator;
    VpiContext context;
    uint16_t values[256] = {};
};

void BM_ReadOverPty(benchmark::State &state) {
    Line line;
    const auto count = static_cast<int32_t>(state.range(0));
    int failures = 0;
    for (auto _ : state) {
        failures += line.Read(count) != 0 ? 1 : 0;
    }
    state.counters["reads_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["failures"] = failures;
}
// Every write purges input first; three writes per read (DLE NAK, frame, reply
// acknowledgement), each after a 50 ms quiet window, bound the rate near 6.6 reads/s.
BENCHMARK(BM_ReadOverPty)
    ->Arg(1)
    ->Arg(128)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();

// Runs one read on a thread whose stack is painted, then measures how deep it went.
constexpr size_t kStackBytes = 256 * 1024;
constexpr uint8_t kPaint = 0xCD;

struct StackProbe {
    Line *line;
    int32_t result;
};

void *ReadOnPaintedStack(void *argument) {
    auto *probe = static_cast<StackProbe *>(argument);
    probe->result = probe->line->Read(128);
    return nullptr;
}

void BM_StackOfOneRead(benchmark::State &state) {
    Line line;
    std::vector<uint8_t> stack(kStackBytes);
    size_t used = 0;
    for (auto _ : state) {
        std::memset(stack.data(), kPaint, stack.size());
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, stack.data(), stack.size());
        StackProbe probe{&line, -1};
        pthread_t thread;
        pthread_create(&thread, &attributes, ReadOnPaintedStack, &probe);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attributes);
        size_t untouched = 0;
        while (untouched < stack.size() && stack[untouched] == kPaint)
            ++untouched;
        used = stack.size() - untouched;
        state.counters["read_result"] = probe.result;
    }
    state.counters["stack_bytes"] = static_cast<double>(used);
    state.counters["context_bytes"] = sizeof(VpiContext);
}
BENCHMARK(BM_StackOfOneRead)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
