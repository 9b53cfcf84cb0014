#include "driver/log.h"

// The host's logger, exported by name from its library KORVAL.dll and bound at load time
// through the import library built from win32/KORVAL.def.
extern "C" __declspec(dllimport) void err(int level, const char *format, ...);

namespace vpisd {

VpiHostLogFn HostLogger() {
    return &err;
}

} // namespace vpisd
