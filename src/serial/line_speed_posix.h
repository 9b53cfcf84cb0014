// Line speeds outside the standard B-constants, through Linux's termios2 (BOTHER).
// Kept in a file of its own: <asm/termbits.h> and <termios.h> cannot share one.
#pragma once

#include <cstdint>

namespace vpisd {

// Sets input and output speed of a terminal to any bits-per-second value; the rest of
// the line state stays as it is. Returns true when the device took the request.
bool SetAnyLineSpeed(int fd, uint32_t bitsPerSecond);

} // namespace vpisd
