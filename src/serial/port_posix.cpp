// Opening, configuring and closing a serial device on a POSIX terminal interface.
#include "serial/port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/line_speed_posix.h"
#include "serial/port_table_posix.h"

namespace vpisd {
namespace {

constexpr char kNullPortName[] = "NUL"; // case-sensitive, as the host spells it
constexpr char kNullDevicePath[] = "/dev/null";
constexpr char kDeviceDirectory[] = "/dev/";
constexpr size_t kMaxPortNameChars = kPortNameBytes - 1;
constexpr size_t kPathBytes = sizeof kDeviceDirectory - 1 + kMaxPortNameChars + 1;

// lineFlags bits that select the DTR and RTS modes.
constexpr uint16_t kDtrEnable = 0x0101;
constexpr uint16_t kDtrHandshake = 0x8000;
constexpr uint16_t kRtsEnable = 0x0202;
constexpr uint16_t kRtsHandshake = 0x1000;

enum Parity : uint8_t { PARITY_NONE, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE };
enum StopBits : uint8_t { STOP_ONE, STOP_ONE_AND_HALF, STOP_TWO };

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
// What a pseudo-terminal does not hold: it drops PARENB and forces CS8, and glibc's
// tcsetattr then reports EINVAL although everything else was applied.
constexpr tcflag_t kBitsDevicesMayIgnore = kParityBits | CSIZE;

struct StandardSpeed {
    uint16_t bitsPerSecond;
    speed_t code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

tcflag_t Bits(unsigned value) {
    return static_cast<tcflag_t>(value);
}

// A name with a leading "/" is a path; any other lives under /dev. False when the name
// is empty or has no terminator within the 12 bytes of a port name.
bool ResolvePortPath(const char *name, char (&path)[kPathBytes]) {
    const size_t length = strnlen(name, kPortNameBytes);
    if (length == 0 || length > kMaxPortNameChars) {
        return false;
    }
    if (std::strcmp(name, kNullPortName) == 0) {
        std::memcpy(path, kNullDevicePath, sizeof kNullDevicePath);
        return true;
    }
    size_t used = 0;
    if (name[0] != '/') {
        used = sizeof kDeviceDirectory - 1;
        std::memcpy(path, kDeviceDirectory, used);
    }
    std::memcpy(path + used, name, length);
    path[used + length] = '\0';
    return true;
}

// Undoes TIOCEXCL only when this open set it: another opener's flag is not ours to clear.
void CloseDevice(int fd, bool exclusiveSet) {
    if (exclusiveSet) {
        ioctl(fd, TIOCNXCL);
    }
    close(fd);
}

const StandardSpeed *FindStandardSpeed(uint16_t bitsPerSecond) {
    for (const StandardSpeed &speed : kStandardSpeeds) {
        if (speed.bitsPerSecond == bitsPerSecond) {
            return &speed;
        }
    }
    return nullptr;
}

// Raw 8-bit transfer, parity checked on input without marking (a byte with a parity error
// reads as 0, which the frame checksum then refuses), zero bytes kept, no flow control of
// any kind. Returns false for data bits, parity or stop bits the terminal cannot express.
bool BuildLine(termios *line, uint16_t dataBits, uint16_t stopBits, uint16_t parity) {
    line->c_iflag &= ~Bits(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                           IXON | IXOFF | IXANY);
    line->c_iflag |= Bits(INPCK);
    line->c_oflag &= ~Bits(OPOST);
    line->c_lflag &= ~Bits(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line->c_cflag &= ~(Bits(CSIZE | CSTOPB | CRTSCTS) | kParityBits);
    line->c_cflag |= Bits(CLOCAL | CREAD);
    // Every read is timed by poll(); the terminal itself never waits.
    line->c_cc[VMIN] = 0;
    line->c_cc[VTIME] = 0;

    switch (static_cast<uint8_t>(dataBits)) {
    case 5:
        line->c_cflag |= Bits(CS5);
        break;
    case 6:
        line->c_cflag |= Bits(CS6);
        break;
    case 7:
        line->c_cflag |= Bits(CS7);
        break;
    case 8:
        line->c_cflag |= Bits(CS8);
        break;
    default:
        return false;
    }
    switch (static_cast<uint8_t>(parity)) {
    case PARITY_NONE:
        break;
    case PARITY_ODD:
        line->c_cflag |= Bits(PARENB | PARODD);
        break;
    case PARITY_EVEN:
        line->c_cflag |= Bits(PARENB);
        break;
    case PARITY_MARK:
        line->c_cflag |= Bits(PARENB | CMSPAR | PARODD);
        break;
    case PARITY_SPACE:
        line->c_cflag |= Bits(PARENB | CMSPAR);
        break;
    default:
        return false;
    }
    // A terminal knows one or two stop bits; a UART given two with 5 data bits sends 1.5,
    // so one and a half maps onto CSTOPB as well.
    switch (static_cast<uint8_t>(stopBits)) {
    case STOP_ONE:
        break;
    case STOP_ONE_AND_HALF:
    case STOP_TWO:
        line->c_cflag |= Bits(CSTOPB);
        break;
    default:
        return false;
    }
    return true;
}

// Equal apart from what a device may ignore.
bool SameLineAsFarAsHeld(const termios &wanted, const termios &actual, bool compareSpeed) {
    return wanted.c_iflag == actual.c_iflag && wanted.c_oflag == actual.c_oflag &&
           wanted.c_lflag == actual.c_lflag &&
           (wanted.c_cflag & ~kBitsDevicesMayIgnore) == (actual.c_cflag & ~kBitsDevicesMayIgnore) &&
           wanted.c_cc[VMIN] == actual.c_cc[VMIN] && wanted.c_cc[VTIME] == actual.c_cc[VTIME] &&
           (!compareSpeed || cfgetospeed(&wanted) == cfgetospeed(&actual));
}

// Applies the line; a device that takes everything but parity and character size (a
// pseudo-terminal) counts as configured, so that a second open with the same settings
// succeeds too.
bool ApplyLine(int fd, termios line, uint16_t baudRate, uint16_t dataBits, uint16_t stopBits,
               uint16_t parity) {
    if (baudRate == 0 || !BuildLine(&line, dataBits, stopBits, parity)) {
        return false;
    }
    // Rates without a B-constant go on through termios2 once the rest is set.
    const StandardSpeed *standard = FindStandardSpeed(baudRate);
    if (standard != nullptr &&
        (cfsetispeed(&line, standard->code) != 0 || cfsetospeed(&line, standard->code) != 0)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        termios actual{};
        if (errno != EINVAL || tcgetattr(fd, &actual) != 0 ||
            !SameLineAsFarAsHeld(line, actual, standard != nullptr)) {
            return false;
        }
    }
    return standard != nullptr || SetAnyLineSpeed(fd, baudRate);
}

// POSIX has no DTR/RTS handshake or RTS toggle without flow control: handshake raises the
// line (its state while the input queue has room, which the kernel's large buffer keeps so),
// toggle leaves RTS low (its state between transmissions). A device without modem lines
// (a pseudo-terminal answers ENOTTY) is still usable, so failures are ignored.
void ApplyModemLines(int fd, uint16_t lineFlags) {
    const bool dtr = (lineFlags & kDtrEnable) != 0 || (lineFlags & kDtrHandshake) != 0;
    const bool rts = (lineFlags & kRtsEnable) != 0 || (lineFlags & kRtsHandshake) != 0;
    int dtrBit = TIOCM_DTR;
    int rtsBit = TIOCM_RTS;
    ioctl(fd, dtr ? TIOCMBIS : TIOCMBIC, &dtrBit);
    ioctl(fd, rts ? TIOCMBIS : TIOCMBIC, &rtsBit);
}

// Start bit, data bits, parity bit and stop bits (one and a half counted as two) at the
// line's speed; baudRate is not 0 once the line is applied.
int64_t CharTimeNs(uint16_t baudRate, uint16_t dataBits, uint16_t stopBits, uint16_t parity) {
    constexpr int64_t kNsPerSecond = 1'000'000'000;
    const int64_t bits = 1 + static_cast<uint8_t>(dataBits) +
                         (static_cast<uint8_t>(parity) != PARITY_NONE ? 1 : 0) +
                         (static_cast<uint8_t>(stopBits) == STOP_ONE ? 1 : 2);
    return bits * kNsPerSecond / baudRate;
}

} // namespace

// POSIX has no request for driver queue sizes; the kernel's own buffers are larger than
// kPortQueueBytes, so nothing is asked for.
int32_t OpenPort(const char *name, uint16_t baudRate, uint16_t dataBits, uint16_t stopBits,
                 uint16_t parity, uint16_t lineFlags, PortHandle *handle) {
    char path[kPathBytes];
    if (name == nullptr || handle == nullptr || !ResolvePortPath(name, path)) {
        return PORT_OPEN_FAILED;
    }
    const PortHandle reserved = ReservePortEntry();
    if (reserved == 0) {
        return PORT_OPEN_FAILED;
    }
    // Non-blocking: the open would otherwise wait for carrier, and every read and write
    // waits in poll() with a deadline of its own.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        ReleasePortEntry(reserved);
        return PORT_OPEN_FAILED;
    }
    PortEntry entry;
    entry.fd = fd;
    entry.nullDevice = std::strcmp(name, kNullPortName) == 0;
    std::strncpy(entry.name, name, sizeof entry.name - 1);
    // The null device has no line to guard and may serve several instances at once.
    // flock excludes every other opener, root included; TIOCEXCL keeps out plain open()s
    // of other users.
    const bool exclusive = !entry.nullDevice;
    if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        CloseDevice(fd, false);
        ReleasePortEntry(reserved);
        return PORT_OPEN_FAILED;
    }
    if (exclusive) {
        ioctl(fd, TIOCEXCL);
    }
    if (!entry.nullDevice) {
        termios line{};
        if (tcgetattr(fd, &line) != 0) {
            CloseDevice(fd, exclusive);
            ReleasePortEntry(reserved);
            return PORT_GET_STATE_FAILED;
        }
        entry.readTimeoutMs = kOpenReadTimeoutMs;
        if (!ApplyLine(fd, line, baudRate, dataBits, stopBits, parity)) {
            CloseDevice(fd, exclusive);
            ReleasePortEntry(reserved);
            return PORT_SET_STATE_FAILED;
        }
        ApplyModemLines(fd, lineFlags);
        entry.charTimeNs = CharTimeNs(baudRate, dataBits, stopBits, parity);
    }
    CommitPortEntry(reserved, entry);
    *handle = reserved;
    return PORT_OK;
}

bool PortOpenedAs(PortHandle handle, const char *name) {
    PortEntry entry;
    return name != nullptr && FindPortEntry(handle, &entry) &&
           std::strncmp(entry.name, name, sizeof entry.name) == 0;
}

int32_t ClosePort(PortHandle handle) {
    PortEntry entry;
    if (!TakePortEntry(handle, &entry)) {
        return PORT_IO_FAILED;
    }
    if (!entry.nullDevice) {
        ioctl(entry.fd, TIOCNXCL);
    }
    // On Linux the descriptor is gone even when close reports an error.
    return close(entry.fd) == 0 ? PORT_OK : PORT_IO_FAILED;
}

} // namespace vpisd
