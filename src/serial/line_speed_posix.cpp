#include "serial/line_speed_posix.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace vpisd {

bool SetAnyLineSpeed(int fd, uint32_t bitsPerSecond) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return false;
    }
    // BOTHER in both speed fields: the kernel takes c_ispeed/c_ospeed literally.
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    line.c_ispeed = bitsPerSecond;
    line.c_ospeed = bitsPerSecond;
    return ioctl(fd, TCSETS2, &line) == 0;
}

} // namespace vpisd
