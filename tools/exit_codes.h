// Exit codes of vpisd-cli, documented for scripts.
#pragma once

namespace vpisd::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,       // a reply was refused, or the driver rejected a GAS
    kExitCommFailure = 2,   // no answer on the line
    kExitPortFailure = 3,   // the port cannot be opened
    kExitUsage = 4,         // bad command line, missing or unreadable init file
    kExitLibraryFailure = 5 // libvpisd.so cannot be loaded or lacks VpiMain
};

// A read or write result of the driver (0, 1 or 2) as an exit code.
inline int ExitCodeForResult(int result) {
    if (result == 0)
        return kExitOk;
    return result == 1 ? kExitRefused : kExitCommFailure;
}

// The more serious of two exit codes, for commands that handle several tags.
inline int WorseExitCode(int a, int b) {
    return a > b ? a : b;
}

} // namespace vpisd::cli
