// Whether the serial device a line's VPI holds open is still the one its path names. The
// driver keeps its descriptor to itself; the gateway finds it once after each open among the
// process's descriptors (by the device's identity, never by number alone) and looks at it
// without reading: a device that was unplugged, replaced behind the same path (a udev link
// re-pointed, a simulator restarted on the same link) or hung up (its reads and writes fail
// with EIO) is a lost line, though the path may still open.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vpisd::gateway {

class DeviceWatch {
  public:
    // Right after the driver opened `path`: notes the device it names and finds the driver's
    // descriptor of it. A path that names no character device ("NUL") is only looked up.
    void Arm(const std::string &path);
    // Before the driver closes its descriptor.
    void Disarm();
    // Empty while the open device is the one the path names and has not hung up; else why the
    // line is lost, e.g. "/dev/ttyUSB0 is gone".
    std::optional<std::string> Lost() const;

  private:
    struct Identity {
        dev_t dev = 0; // the file system of the node
        ino_t ino = 0;
        dev_t rdev = 0; // the device itself
        bool operator==(const Identity &) const = default;
    };
    static std::optional<Identity> OfPath(const std::string &path);
    static std::optional<Identity> OfDescriptor(int fd);

    std::string path_;
    std::optional<Identity> opened_; // the device the path named at the open
    int driverFd_ = -1;              // the driver's descriptor: looked at, never closed here
};

} // namespace vpisd::gateway
