// When a polled number has changed enough to be told again.
#pragma once

#include <cmath>

namespace vpisd::gateway {

// `now` against the number last told: beyond `deadband` (in the value's units) when there is
// one, else any change at all.
inline bool BeyondDeadband(double now, double told, double deadband) {
    return deadband > 0 ? std::fabs(now - told) > deadband : now != told;
}

} // namespace vpisd::gateway
