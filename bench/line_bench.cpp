// Whole register reads through the driver over a pseudo-terminal against the
// in-process simulator, unpaced (the driver's and the pty's own cost) and paced at
// 9600 baud as a real line sends; the system calls and CPU time of the reading thread
// per read; and the stack that one read uses.
#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/context.h"
#include "routing/route_table.h"
#include "serial/port.h"
#include "support/sim_line.h"
#include "transactions/transactions.h"

// The host's logger: the benchmark measures the line, not the log.
extern "C" __attribute__((visibility("default"))) void VpiHostLog(int32_t, const char *, ...) {}

namespace {

using namespace vpisd;

std::string Network(unsigned baud) {
    return "[line]\nbaud = " + std::to_string(baud) +
           "\nbits = 11\n[plc P1]\nroute = 1+5\nbackup = 2+5\n";
}

// Counts the system calls this thread enters, through the kernel's syscall tracepoint;
// -1 when the kernel does not let the process count them.
class SyscallCounter {
  public:
    SyscallCounter() {
        std::FILE *idFile = std::fopen("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id", "r");
        unsigned long long id = 0;
        if (idFile == nullptr) {
            return;
        }
        const bool haveId = std::fscanf(idFile, "%llu", &id) == 1;
        std::fclose(idFile);
        if (!haveId) {
            return;
        }
        perf_event_attr attributes{};
        attributes.type = PERF_TYPE_TRACEPOINT;
        attributes.size = sizeof attributes;
        attributes.config = id;
        attributes.disabled = 0;
        attributes.exclude_kernel = 0;
        fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0));
    }
    ~SyscallCounter() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    SyscallCounter(const SyscallCounter &) = delete;
    SyscallCounter &operator=(const SyscallCounter &) = delete;
    long long Count() const {
        long long value = -1;
        if (fd_ < 0 || read(fd_, &value, sizeof value) != sizeof value) {
            return -1;
        }
        return value;
    }

  private:
    int fd_ = -1;
};

double ThreadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Line {
    explicit Line(unsigned baud = 0) : simulated(test::StartSimLine(Network(baud))) {
        std::memset(&context, 0, sizeof context);
        StoreRoute(&context, "P1=1+5,2+5", 1);
        OpenPort(simulated.port.c_str(), 9600, 8, 0, 2, 8, &context.port);
        context.timeout = 10; // 100 ms: each next byte of a reply must come within it
        SetReadTimeout(context.port, context.timeout);
    }
    ~Line() {
        ClosePort(context.port);
        simulated.sim->Stop();
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
    test::SimLine simulated;
    VpiContext context;
    uint16_t values[256] = {};
};

// Arguments: the register count, and the baud rate at which the simulator paces its
// bytes (0: unpaced). The first read (link enquiry) happens before the timed loop.
void BM_ReadOverPty(benchmark::State &state) {
    Line line(static_cast<unsigned>(state.range(1)));
    const auto count = static_cast<int32_t>(state.range(0));
    int failures = line.Read(count) != 0 ? 1 : 0;
    const SyscallCounter syscalls;
    const long long syscallsBefore = syscalls.Count();
    const double cpuBefore = ThreadCpuMs();
    for (auto _ : state) {
        failures += line.Read(count) != 0 ? 1 : 0;
    }
    const auto reads = static_cast<double>(state.iterations());
    const long long syscallsAfter = syscalls.Count();
    state.counters["reads_per_s"] = benchmark::Counter(reads, benchmark::Counter::kIsRate);
    state.counters["failures"] = failures;
    state.counters["cpu_ms_per_read"] = (ThreadCpuMs() - cpuBefore) / reads;
    state.counters["syscalls_per_read"] =
        syscallsBefore < 0 ? -1.0 : static_cast<double>(syscallsAfter - syscallsBefore) / reads;
}
// Every write purges input first; three writes per read (DLE NAK, frame, reply
// acknowledgement), each after a 50 ms quiet window, bound the rate near 6.6 reads/s.
// At 9600 baud (11 bits a character) a 128-register reply alone is on the line for 313 ms.
BENCHMARK(BM_ReadOverPty)
    ->Args({1, 0})
    ->Args({128, 0})
    ->Args({128, 9600})
    ->ArgNames({"registers", "baud"})
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
