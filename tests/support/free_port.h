// Loopback TCP ports for the programs a test starts.
#pragma once

#include <cstdint>

namespace vpisd::test {

// A port on 127.0.0.1 that nothing listens on at this moment (the kernel's choice).
uint16_t FreePort();
// True once something listens on 127.0.0.1:`port`, false after timeoutMs. It looks without
// connecting, so a server that takes one connection only still has it.
bool WaitForListener(uint16_t port, int timeoutMs);

} // namespace vpisd::test
