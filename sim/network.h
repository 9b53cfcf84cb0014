// The network interface at the end of the cable and the PLCs behind it: turns each event of the
// incoming line into the bytes that go back, without any I/O of its own.
#pragma once

#include "codec.h"
#include "config.h"
#include "faults.h"
#include "plc.h"
#include "stats.h"

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace vpisd::sim {

// Bytes to send after a pause; an answer is a list of these, sent in order.
struct Transmission {
    unsigned delayMs = 0;
    std::vector<uint8_t> bytes;
};
using Answer = std::vector<Transmission>;

class Network {
  public:
    explicit Network(const NetworkConfig &config); // throws SimError for an invalid config

    Answer Handle(const LinkEvent &event, Clock::time_point now);
    // The line fell silent in the middle of a frame.
    void Stalled() { stats_.Add("frames_stalled"); }

    Plc &FindPlc(std::string_view name); // throws SimError
    FaultSet &faults() { return faults_; }
    Stats &stats() { return stats_; }
    void ResetStats() { stats_ = Stats{}; }
    const NetworkConfig &config() const { return config_; }

  private:
    struct Target {
        Plc *plc = nullptr;
        const PlcConfig *setup = nullptr;
        RequestPath path = RequestPath::Unknown;
    };
    Target Resolve(std::string_view route);
    Answer HandleFrame(const Frame &frame, Clock::time_point now);

    NetworkConfig config_;
    std::vector<Plc> plcs_; // parallel to config_.plcs
    FaultSet faults_;
    Stats stats_;
    std::mt19937 rng_;
    uint8_t lastAccepted_ = kToggle12; // so the first enquiry is answered 10 12: "send 0x11 next"
    uint8_t previousToggle_ = 0;       // 0: none since the last enquiry
};

} // namespace vpisd::sim
