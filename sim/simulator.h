// A simulated SY/MAX network served on its own thread over a pseudo-terminal.
#pragma once

#include "config.h"
#include "error.h"
#include "network.h"
#include "stats.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vpisd::sim {

class PtyLine;

class Simulator {
  public:
    explicit Simulator(const NetworkConfig &config); // throws SimError for an invalid config
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Receives "RX .." / "TX .." lines of every byte; set before Start.
    void SetTrace(std::function<void(const std::string &)> sink) { trace_ = std::move(sink); }
    // Creates the pseudo-terminal and starts serving it; throws SimError.
    void Start();
    void Stop();
    // The pty slave to give the driver; empty before Start.
    const std::string &PortPath() const { return portPath_; }

    // One control command as documented for the program; answers with lines ending in "OK ..." or
    // "ERR ..." (never throws).
    std::string Control(std::string_view command);
    bool QuitRequested() const { return quit_; }

    int AddFault(std::string_view rule); // throws SimError
    void ClearFaults();
    uint16_t Register(std::string_view plc, size_t reg);                // throws SimError
    void SetRegister(std::string_view plc, size_t reg, uint16_t value); // throws SimError
    Stats GetStats();
    void ResetStats();

  private:
    void Serve();
    void Send(const Answer &answer);
    void Trace(const char *direction, std::span<const uint8_t> bytes);
    std::string RunCommand(std::string_view command);

    std::mutex mutex_; // guards network_
    Network network_;
    std::unique_ptr<PtyLine> line_;
    std::string portPath_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> quit_{false};
    std::function<void(const std::string &)> trace_;
};

} // namespace vpisd::sim
