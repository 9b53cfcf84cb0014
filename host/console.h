// Diagnostic lines on stderr: the wire trace (relay thread) and the driver's messages
// (calling thread) interleave here, a whole line at a time.
#pragma once

#include <string>

namespace vpisd::host {

// Wall-clock time of day with milliseconds, "HH:MM:SS.mmm".
std::string TimeOfDay();
// Writes one line to stderr under a lock, with a trailing newline.
void ConsoleLine(const std::string &line);

} // namespace vpisd::host
