// A state for systemd ("READY=1", "STATUS=...", "WATCHDOG=1"), when NOTIFY_SOCKET names one;
// nothing otherwise.
#pragma once

#include <systemd/sd-daemon.h>

#include <string>

namespace vpisd::gateway {

inline void Notify(const std::string &state) {
    sd_notify(0, state.c_str());
}

} // namespace vpisd::gateway
