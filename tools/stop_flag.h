// Ctrl-C asks the tool to stop after the driver call in progress.
#pragma once

namespace vpisd::cli {

bool StopRequested();
// Async-signal-safe.
void RequestStop();

} // namespace vpisd::cli
