// The tool's side of the driver's logger (VpiHostLog, exported from the executable).
#pragma once

#include <string>
#include <vector>

namespace vpisd::host {

// 0: messages are kept but not shown; 1: events (level 32) shown as they come; 2: traces too.
void SetLogVerbosity(int verbosity);
// Events logged since the last call, oldest first; the tool shows them when a command fails.
std::vector<std::string> TakeRecentEvents();
// Sees every message, traces included, on the thread that logs it; nullptr to stop.
using LogObserver = void (*)(int level, const char *text);
void SetLogObserver(LogObserver observer);

} // namespace vpisd::host
