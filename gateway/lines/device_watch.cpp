#include "gateway/lines/device_watch.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace vpisd::gateway {

std::optional<DeviceWatch::Identity> DeviceWatch::OfPath(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    return Identity{info.st_dev, info.st_ino, info.st_rdev};
}

std::optional<DeviceWatch::Identity> DeviceWatch::OfDescriptor(int fd) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    return Identity{info.st_dev, info.st_ino, info.st_rdev};
}

void DeviceWatch::Arm(const std::string &path) {
    path_ = path;
    opened_ = OfPath(path);
    driverFd_ = -1;
    if (!opened_)
        return;
    // The open VPI holds the device exclusively: one descriptor of this process names it.
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const std::string name = entry.path().filename().string();
        int fd = -1;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
        if (error != std::errc() || end != name.data() + name.size())
            continue;
        // Looked at through its name: other threads open and close descriptors meanwhile.
        if (OfPath(entry.path().string()) == opened_) {
            driverFd_ = fd;
            break;
        }
    }
}

void DeviceWatch::Disarm() {
    opened_.reset();
    driverFd_ = -1;
}

std::optional<std::string> DeviceWatch::Lost() const {
    if (path_.empty() || path_ == "NUL")
        return std::nullopt;
    struct stat info {};
    if (stat(path_.c_str(), &info) != 0)
        return path_ + " is gone";
    if (!opened_)
        return std::nullopt;
    if (Identity{info.st_dev, info.st_ino, info.st_rdev} != *opened_)
        return path_ + " now names another device (replaced while open)";
    // The descriptor is the driver's as long as it still names the device; a hung-up device
    // (its other end closed, an adapter gone) answers every read and write with EIO.
    if (OfDescriptor(driverFd_) != opened_)
        return std::nullopt;
    pollfd state{driverFd_, 0, 0};
    if (poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR)) != 0)
        return path_ + " hung up: its reads and writes fail";
    return std::nullopt;
}

} // namespace vpisd::gateway
