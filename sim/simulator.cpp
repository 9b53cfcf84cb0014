#include "simulator.h"

#include "pty_line.h"

#include <chrono>
#include <cstdio>

namespace vpisd::sim {

namespace {

// A frame whose bytes stop coming for this long is given up.
constexpr auto kFrameStall = std::chrono::milliseconds(1000);
constexpr int kPollMs = 20;

} // namespace

Simulator::Simulator(const NetworkConfig &config) : network_(config) {}

Simulator::~Simulator() {
    Stop();
}

void Simulator::Start() {
    if (thread_.joinable())
        return;
    line_ = std::make_unique<PtyLine>();
    portPath_ = line_->slavePath();
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
}

void Simulator::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Simulator::Trace(const char *direction, std::span<const uint8_t> bytes) {
    if (!trace_ || bytes.empty())
        return;
    std::string line = direction;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, " %02X", b);
        line += pair;
    }
    trace_(line);
}

void Simulator::Serve() {
    FrameReader reader;
    auto lastByte = Clock::now();
    while (!stop_) {
        const std::vector<uint8_t> bytes = line_->Read(kPollMs);
        if (bytes.empty()) {
            if (reader.InFrame() && Clock::now() - lastByte > kFrameStall) {
                reader.Reset();
                std::lock_guard lock(mutex_);
                network_.Stalled();
            }
            continue;
        }
        lastByte = Clock::now();
        Trace("RX", bytes);
        for (uint8_t b : bytes) {
            LinkEvent event;
            if (!reader.Feed(b, event))
                continue;
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                answer = network_.Handle(event, Clock::now());
            }
            Send(answer);
        }
        lastByte = Clock::now();
    }
}

void Simulator::Send(const Answer &answer) {
    unsigned baud = 0;
    unsigned bits = 0;
    {
        std::lock_guard lock(mutex_);
        baud = network_.config().baud;
        bits = network_.config().bitsPerChar;
    }
    for (const Transmission &t : answer) {
        const auto until = Clock::now() + std::chrono::milliseconds(t.delayMs);
        while (!stop_ && Clock::now() < until) {
            std::this_thread::sleep_for(std::min<Clock::duration>(
                until - Clock::now(), std::chrono::milliseconds(kPollMs)));
        }
        if (stop_)
            return;
        Trace("TX", t.bytes);
        line_->Write(t.bytes, baud, bits, stop_);
    }
}

int Simulator::AddFault(std::string_view rule) {
    FaultRule parsed = ParseFault(rule);
    std::lock_guard lock(mutex_);
    if (parsed.plc != "*")
        network_.FindPlc(parsed.plc);
    return network_.faults().Add(std::move(parsed), Clock::now());
}

void Simulator::ClearFaults() {
    std::lock_guard lock(mutex_);
    network_.faults().Clear();
}

uint16_t Simulator::Register(std::string_view plc, size_t reg) {
    std::lock_guard lock(mutex_);
    return network_.FindPlc(plc).Get(reg);
}

void Simulator::SetRegister(std::string_view plc, size_t reg, uint16_t value) {
    std::lock_guard lock(mutex_);
    network_.FindPlc(plc).Set(reg, value);
}

Stats Simulator::GetStats() {
    std::lock_guard lock(mutex_);
    return network_.stats();
}

void Simulator::ResetStats() {
    std::lock_guard lock(mutex_);
    network_.ResetStats();
}

} // namespace vpisd::sim
