// The descriptors the gateway may hold at once, against the process's limit (RLIMIT_NOFILE):
// the soft limit is raised towards the hard one when it is short, and the log says what to
// raise when even the hard one is.
#pragma once

#include <cstddef>

#include "gateway/config/config.h"

namespace vpisd::gateway {

// One per Modbus client (and the one closed beyond max_clients), per HTTP connection (and the
// one closed beyond the cap), four per line (the device or a tcp: line's socket and pty pair),
// and a margin for the listening sockets, the broker, the journal, signals and the driver.
size_t DescriptorsNeeded(const Config &config);

// At start and after a reload.
void CheckDescriptorLimit(const Config &config);

} // namespace vpisd::gateway
