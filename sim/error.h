// Errors of the simulator's configuration and control commands.
#pragma once

#include <stdexcept>
#include <string>

namespace vpisd::sim {

class SimError : public std::runtime_error {
  public:
    explicit SimError(const std::string &what) : std::runtime_error(what) {}
};

} // namespace vpisd::sim
