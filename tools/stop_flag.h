// Ctrl-C asks the tool to stop after the driver call in progress.
#pragma once

namespace vpisd::cli {

bool StopRequested();
// Async-signal-safe.
void RequestStop();
// Async-signal-safe: true within half a second of the first stop request. A second signal that
// soon is the same request sent twice (GNU timeout sends SIGINT twice), not an urge to leave.
bool StopJustRequested();

} // namespace vpisd::cli
