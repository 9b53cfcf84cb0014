// Why a serial device cannot be opened, or has gone, in words an operator can act on.
#pragma once

#include <string>

namespace vpisd::host {

// The reason `path` does not open: no such device, permission (with the group to join), in use
// (with the holding process where it can be found), or what the system says.
std::string PortProblem(const std::string &path);
// True when the device node is gone (unplugged, or the far end of a pseudo-terminal closed).
bool DeviceVanished(const std::string &path);

} // namespace vpisd::host
