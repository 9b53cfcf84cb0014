// The status page GET / serves: one HTML page, its script and styles inline, that requests
// nothing but /status.json (it must work on a plant network without internet) and renders it
// again every 2 s.
#pragma once

namespace vpisd::gateway {

extern const char kStatusPage[];

} // namespace vpisd::gateway
