// A transparent relay between a pseudo-terminal, which the driver opens as its port, and the
// real serial device, which the tool opens itself. It lets the tool print every byte on the
// wire, give the driver a short port name for any device path, and run the device at rates
// that the driver's 16-bit baud field cannot hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "host/driver_pty.h"
#include "host/line_options.h"

namespace vpisd::host {

// One trace line: "HH:MM:SS.mmm >> 10 01 ..." (">>" driver to PLC, "<<" PLC to driver),
// continued on further lines every 32 bytes.
std::string FormatTraceBurst(const std::string &time, bool toPlc,
                             const std::vector<uint8_t> &bytes);

class WireRelay {
  public:
    WireRelay() = default;
    ~WireRelay();
    WireRelay(const WireRelay &) = delete;
    WireRelay &operator=(const WireRelay &) = delete;

    // Opens the device and a pty pair and starts relaying; with `trace` each burst of bytes
    // is printed on stderr. False with the reason in `error` when either cannot be opened.
    bool Start(const std::string &devicePath, const LineOptions &line, bool trace,
               std::string &error);
    // Path of the pty end that the driver opens.
    const std::string &driverPath() const { return pty_.path(); }
    // Waits (briefly) until the bytes in flight have passed and their trace is printed, so that
    // what the tool prints next comes after them.
    void Settle();
    // Lets the bytes in flight through (until the line is quiet), then ends the relay.
    void Stop();

  private:
    void Run();
    bool Forward(int from, int to, bool toPlc);
    void FlushBurst();

    int port_ = -1;
    DriverPty pty_;
    bool trace_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> quietRounds_{0}; // idle polls with nothing left to print
    std::thread thread_;
    bool burstToPlc_ = false;
    std::vector<uint8_t> burst_;
    std::string burstTime_;
};

} // namespace vpisd::host
