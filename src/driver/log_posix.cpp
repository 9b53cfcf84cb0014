#include <dlfcn.h>

#include "driver/log.h"

namespace vpisd {

// Looked up once by name in the global symbol scope: the host exports it from its
// executable or from a library loaded RTLD_GLOBAL. A failed dlsym allocates its error
// text, so the answer is kept and commands stay free of heap allocation. The C
// library's err(3) has the Windows logger's name and ends the process, hence another name.
VpiHostLogFn HostLogger() {
    static const VpiHostLogFn logger =
        reinterpret_cast<VpiHostLogFn>(dlsym(RTLD_DEFAULT, "VpiHostLog"));
    return logger;
}

} // namespace vpisd
