// The library's only export.
#include "driver/command_table.h"

extern "C" VPISD_EXPORT int32_t VpiMain(const VpiRequest *request) noexcept {
    return vpisd::DispatchCommand(request);
}
