// A simulated SY/MAX network for the tool's tests: the tests' simulated line (see
// support/sim_line.h) with its init file in a private directory, and the tool's usual arguments.
#pragma once

#include <string>
#include <vector>

#include "support/sim_line.h"
#include "support/temp_dir.h"

namespace vpisd::cli::test {

using vpisd::test::TempDir;

// P1 over drops 1+5 with the backup 2+5, P2 over 1+7.
constexpr const char *kRoutedNetwork = "[plc P1]\nroute = 1+5\nbackup = 2+5\n"
                                       "[plc P2]\nroute = 1+7\n";
// One PLC on the cable, peer to peer.
constexpr const char *kDirectNetwork = "[plc P0]\ndirect = yes\n";

class SimNetwork {
  public:
    explicit SimNetwork(const std::string &networkText)
        : line_(vpisd::test::StartSimLine(networkText, dir_)) {}
    vpisd::sim::Simulator &sim() { return *line_.sim; }
    const std::string &port() const { return line_.port; }
    const TempDir &dir() const { return dir_; }
    const std::string &initPath() const { return line_.init; }
    // Stops the simulator and closes its pseudo-terminal: the port vanishes.
    void Shutdown() { line_.sim.reset(); }
    // --lib, --port, --init (when the network has routes), a 200 ms timeout, then `extra`.
    std::vector<std::string> Args(const std::vector<std::string> &extra) const;

  private:
    TempDir dir_;
    vpisd::test::SimLine line_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);

} // namespace vpisd::cli::test
