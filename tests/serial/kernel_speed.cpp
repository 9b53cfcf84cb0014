// termios2 cannot share a translation unit with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial_support.h"

namespace vpisd::test {

bool ReadKernelSpeed(int fd, KernelSpeed *speed) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    speed->custom = (line.c_cflag & CBAUD) == BOTHER;
    speed->outputRate = line.c_ospeed;
    return true;
}

} // namespace vpisd::test
