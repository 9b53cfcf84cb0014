// Exit codes of vpisd-cli, documented for scripts.
#pragma once

#include <array>

#include "host/line_status.h"

namespace vpisd::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,       // a reply was refused, or the driver rejected a GAS
    kExitCommFailure = 2,   // no answer on the line
    kExitPortFailure = 3,   // the port cannot be opened
    kExitUsage = 4,         // bad command line, missing or unreadable init file
    kExitLibraryFailure = 5 // libvpisd.so cannot be loaded or lacks VpiMain
};

struct StatusExit {
    host::LineStatus status;
    ExitCode code;
};
// A tag's outcome as the exit code; a rejected GAS counts as refused.
constexpr std::array<StatusExit, host::kLineStatusCount> kStatusExits = {{
    {host::LineStatus::Ok, kExitOk},
    {host::LineStatus::Refused, kExitRefused},
    {host::LineStatus::NoAnswer, kExitCommFailure},
    {host::LineStatus::LineDown, kExitCommFailure},
    {host::LineStatus::Busy, kExitCommFailure},
    {host::LineStatus::Cancelled, kExitCommFailure},
}};
static_assert(host::CoversEveryStatus(kStatusExits));

constexpr int ExitCodeForStatus(host::LineStatus status) {
    return host::RowFor(kStatusExits, status).code;
}

// The more serious of two exit codes, for commands that handle several tags.
inline int WorseExitCode(int a, int b) {
    return a > b ? a : b;
}

} // namespace vpisd::cli
