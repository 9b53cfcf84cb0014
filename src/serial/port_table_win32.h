// The ports this library has opened, by handle, with the name each was opened by.
// Fixed size: no heap. Only handles in this table are read, written or closed, so a
// stale or uninitialised `port` value never reaches another object of the host process.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "driver/context.h"

namespace vpisd {

static_assert(sizeof(HANDLE) == sizeof(PortHandle),
              "a Win32 handle must fit the 32-bit port field");

inline PortHandle ToPortHandle(HANDLE handle) {
    return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
}

inline HANDLE ToWin32Handle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

constexpr size_t kMaxOpenPorts = 256;

// Claims an entry for an open in progress; false when the table is full.
bool ReservePortEntry(size_t *index);
// Makes a reserved entry an open port under this handle and name.
void CommitPortEntry(size_t index, PortHandle handle, const char *name);
void ReleasePortEntry(size_t index);
// True when the handle names a port of this table; copies its name when asked.
bool FindPortEntry(PortHandle handle, char (*name)[kPortNameBytes]);
// Removes the handle from the table; false when it names no open port.
bool TakePortEntry(PortHandle handle);

} // namespace vpisd
