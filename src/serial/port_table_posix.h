// The open ports of the process, indexed by handle. Handles are index + 1, so 0 never
// names a port, whatever file descriptor the system hands out. Fixed size: no heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr size_t kMaxOpenPorts = 256;

struct PortEntry {
    int fd = -1;
    bool nullDevice = false;        // "NUL": no line, no timeouts
    int64_t readTimeoutMs = 0;      // total time limit of one read call
    int64_t charTimeNs = 0;         // one character on the line at its speed; 0: no line
    char name[kPortNameBytes] = {}; // the name the port was opened by
};

// Claims a free entry for an open in progress; returns its handle, or 0 when all are taken.
PortHandle ReservePortEntry();
// Makes a reserved entry an open port.
void CommitPortEntry(PortHandle handle, const PortEntry &entry);
// Gives back a reserved entry whose open failed.
void ReleasePortEntry(PortHandle handle);
// Copies the entry of an open port; false when the handle names none.
bool FindPortEntry(PortHandle handle, PortEntry *entry);
// Replaces the read timeout of an open port with a line; false when there is none.
bool ExchangeReadTimeout(PortHandle handle, int64_t timeoutMs, int64_t *previousMs);
// Removes an open port from the table and hands its entry to the caller for closing.
bool TakePortEntry(PortHandle handle, PortEntry *entry);

} // namespace vpisd
