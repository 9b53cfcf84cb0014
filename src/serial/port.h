// Port layer: a bare serial device handle, with the Win32 meaning of the read
// timeout on every platform. One implementation file per platform.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

// Result codes of the port layer.
constexpr int32_t PORT_OK = 0;
constexpr int32_t PORT_OPEN_FAILED = 1;      // open, or setting the timeouts, failed
constexpr int32_t PORT_SHORT_WRITE = 2;      // fewer bytes written than asked
constexpr int32_t PORT_GET_STATE_FAILED = 4; // reading the line state failed
constexpr int32_t PORT_SET_STATE_FAILED = 5; // setting the line state failed
constexpr int32_t PORT_IO_FAILED = 7;        // close/read/write failed, or a read timed out

constexpr int32_t kOpenReadTimeoutMs = 1000; // read timeout that OpenPort sets
constexpr uint32_t kPortQueueBytes = 1200;

// Opens a device exclusively and configures the line. "NUL" opens the null device
// and configures nothing. Names starting with "/" are paths; others live under /dev.
// On failure nothing stays open and *handle is left unchanged.
int32_t OpenPort(const char *name, uint16_t baudRate, uint16_t dataBits, uint16_t stopBits,
                 uint16_t parity, uint16_t lineFlags, PortHandle *handle);
int32_t ClosePort(PortHandle handle);
// True when the handle names a port of this process that is open under exactly this name.
bool PortOpenedAs(PortHandle handle, const char *name);
// Sets the read timeout to timeout x 10 ms; returns the previous one in 10 ms units,
// or 0 when the timeouts could not be read or set (no such port; the null device).
// Kept in 64-bit milliseconds, so every timeout >= 0 is exact; a negative one counts as 0,
// and 0 means a read call returns at once with what is pending (never an endless wait).
int32_t SetReadTimeout(PortHandle handle, int32_t timeout);
// Writes count bytes, within the time they need at the line's speed plus the read timeout;
// PORT_SHORT_WRITE when the line took fewer in that time.
int32_t PortWrite(PortHandle handle, const uint8_t *buffer, uint32_t count, uint32_t *written);
// Reads exactly count bytes; each read call waits at most the read timeout.
int32_t PortRead(PortHandle handle, uint8_t *buffer, uint32_t count, uint32_t *read);
// Reads at least one and at most `most` bytes: waits up to the read timeout for the first,
// then takes what has come, never more than asked, so the caller decides where to stop.
int32_t PortReadSome(PortHandle handle, uint8_t *buffer, uint32_t most, uint32_t *read);

// Not used by any command; part of the layer for hosts and tools.
int32_t FlushPort(PortHandle handle);
int32_t SendBreak(uint32_t milliseconds, PortHandle handle);
int32_t PortSleep(uint32_t milliseconds);

} // namespace vpisd
