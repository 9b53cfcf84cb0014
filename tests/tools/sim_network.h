// A simulated SY/MAX network for the tool's tests: the simulator serving a pty in-process, a
// private directory holding the matching init file, and the tool's usual arguments.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace vpisd::cli::test {

// P1 over drops 1+5 with the backup 2+5, P2 over 1+7.
constexpr const char *kRoutedNetwork = "[plc P1]\nroute = 1+5\nbackup = 2+5\n"
                                       "[plc P2]\nroute = 1+7\n";
// One PLC on the cable, peer to peer.
constexpr const char *kDirectNetwork = "[plc P0]\ndirect = yes\n";

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string Write(const std::string &name, const std::string &content) const;
    // Names of the entries in the directory.
    std::vector<std::string> List() const;

  private:
    std::string path_;
};

class SimNetwork {
  public:
    explicit SimNetwork(const std::string &networkText);
    vpisd::sim::Simulator &sim() { return *sim_; }
    const std::string &port() const { return port_; }
    const TempDir &dir() const { return dir_; }
    const std::string &initPath() const { return initPath_; }
    // Stops the simulator and closes its pseudo-terminal: the port vanishes.
    void Shutdown() { sim_.reset(); }
    // --lib, --port, --init (when the network has routes), a 200 ms timeout, then `extra`.
    std::vector<std::string> Args(const std::vector<std::string> &extra) const;

  private:
    TempDir dir_;
    std::unique_ptr<vpisd::sim::Simulator> sim_;
    std::string initPath_;
    std::string port_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);

} // namespace vpisd::cli::test
