// The tool's side of the driver's logger (VpiHostLog, exported from the executable).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/try_tally.h"

namespace vpisd::host {

// 0: messages are kept but not shown; 1: events (level 32) shown as they come; 2: traces too.
void SetLogVerbosity(int verbosity);
// Events logged since the last call, oldest first; the tool shows them when a command fails.
std::vector<std::string> TakeRecentEvents();
// Sees every message, traces included, on the thread that logs it; nullptr to stop.
using LogObserver = void (*)(int level, const char *text);
void SetLogObserver(LogObserver observer);

// A program that keeps its own log (the gateway) takes every driver message here instead of
// the console and the recent events above. Called on the thread of the driver command, with
// the tag that thread set.
using LogSink = void (*)(int32_t level, const std::string &tag, const char *text);
void SetLogSink(LogSink sink);
// Names what the calling thread serves (a line); handed to the sink with its driver messages.
void SetThreadLogTag(const std::string &tag);
// While set on a thread, the driver's messages on that thread are told to it (VpiSession::Read
// and Write set it around their call); nullptr to stop.
void FollowTries(TryTally *tally);

} // namespace vpisd::host
