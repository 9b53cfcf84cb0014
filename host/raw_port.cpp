#include "host/raw_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace vpisd::host {
namespace {

struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool FindSpeed(uint32_t rate, speed_t &code) {
    for (const auto &entry : kBaudRates) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

tcflag_t CharacterSize(uint16_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

int OpenRawPort(const std::string &path, const LineOptions &line, std::string &error) {
    speed_t speed{};
    if (!FindSpeed(line.baudRate, speed)) {
        error = "baud rate " + std::to_string(line.baudRate) + " is not a standard rate";
        return -1;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    // TIOCEXCL alone does not keep root out; the lock does, as the driver's own open does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + ": in use by another program";
        close(fd);
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = path + ": not a serial device";
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CharacterSize(line.dataBits);
    switch (line.parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    // POSIX has no one and a half stop bits; the UART gives 1.5 for CSTOPB with 5 data bits.
    if (line.stopBits != 0)
        tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    // A pseudo-terminal drops PARENB and then refuses the same settings with EINVAL; parity
    // means nothing there, so a device that cannot hold it is taken without.
    int set = tcsetattr(fd, TCSANOW, &tio);
    if (set != 0 && errno == EINVAL) {
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
        set = tcsetattr(fd, TCSANOW, &tio);
    }
    if (set != 0) {
        error = path + ": line settings refused: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

} // namespace vpisd::host
