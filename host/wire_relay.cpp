#include "host/wire_relay.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "host/console.h"
#include "host/raw_port.h"

namespace vpisd::host {
namespace {

constexpr int kQuietMs = 5;       // a gap this long ends a burst in the trace
constexpr int kIdlePollMs = 50;   // how often an idle relay looks at its stop flag
constexpr int kStopGraceMs = 500; // the longest Stop() waits for the line to fall quiet
constexpr size_t kBytesPerLine = 32;

} // namespace

std::string FormatTraceBurst(const std::string &time, bool toPlc,
                             const std::vector<uint8_t> &bytes) {
    const std::string head = time + (toPlc ? " >>" : " <<");
    std::string out = head;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % kBytesPerLine == 0)
            out += "\n" + std::string(head.size(), ' ');
        char pair[4];
        std::snprintf(pair, sizeof pair, " %02X", bytes[i]);
        out += pair;
    }
    return out;
}

WireRelay::~WireRelay() {
    Stop();
    if (port_ >= 0)
        close(port_);
}

bool WireRelay::Start(const std::string &devicePath, const LineOptions &line, bool trace,
                      std::string &error) {
    port_ = OpenRawPort(devicePath, line, error);
    if (port_ < 0)
        return false;
    if (!pty_.Open(error))
        return false;
    trace_ = trace;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void WireRelay::Stop() {
    if (!thread_.joinable())
        return;
    stop_ = true;
    thread_.join();
}

void WireRelay::Settle() {
    if (!trace_ || !thread_.joinable())
        return;
    const unsigned seen = quietRounds_;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    while (quietRounds_ - seen < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    }
}

void WireRelay::FlushBurst() {
    if (burst_.empty())
        return;
    if (trace_)
        ConsoleLine(FormatTraceBurst(burstTime_, burstToPlc_, burst_));
    burst_.clear();
}

bool WireRelay::Forward(int from, int to, bool toPlc) {
    uint8_t chunk[512];
    const ssize_t n = read(from, chunk, sizeof chunk);
    if (n <= 0)
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    const auto size = static_cast<size_t>(n);
    if (!burst_.empty() && burstToPlc_ != toPlc)
        FlushBurst();
    if (burst_.empty()) {
        burstToPlc_ = toPlc;
        burstTime_ = TimeOfDay();
    }
    burst_.insert(burst_.end(), chunk, chunk + size);
    return WriteAll(to, false, {chunk, size});
}

void WireRelay::Run() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point stopSeen{};
    bool stopping = false;
    while (true) {
        if (stop_ && !stopping) {
            stopping = true;
            stopSeen = Clock::now();
        }
        if (stopping && Clock::now() - stopSeen > std::chrono::milliseconds(kStopGraceMs))
            break;
        pollfd fds[kRelaySlots];
        fds[kDriverSide] = {pty_.master(), POLLIN, 0};
        fds[kFarSide] = {port_, POLLIN, 0};
        const int ready = poll(fds, kRelaySlots, burst_.empty() ? kIdlePollMs : kQuietMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            FlushBurst();
            ++quietRounds_;
            if (stopping)
                break;
            continue;
        }
        bool ok = true;
        const short far = fds[kFarSide].revents;
        if ((fds[kDriverSide].revents & POLLIN) != 0)
            ok = Forward(pty_.master(), port_, true);
        if (ok && (far & POLLIN) != 0)
            ok = Forward(port_, pty_.master(), false);
        if (ok && (far & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (far & POLLIN) == 0) {
            ok = false;
        }
        if (!ok) {
            FlushBurst();
            ConsoleLine(TimeOfDay() + " relay: the serial device went away");
            break;
        }
    }
    FlushBurst();
}

} // namespace vpisd::host
