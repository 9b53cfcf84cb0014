#include "host/port_check.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vpisd::host {
namespace {

namespace fs = std::filesystem;

std::string GroupName(gid_t gid) {
    const group *entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

// A process name as it may be shown: printable ASCII and well-formed UTF-8 kept, any other byte
// as \xNN. A name is whatever its process chose, in no particular encoding.
std::string ShownName(const std::string &name) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    size_t i = 0;
    while (i < name.size()) {
        const auto byte = static_cast<unsigned char>(name[i]);
        size_t length = 0;
        if (byte >= 0x20 && byte < 0x7F)
            length = 1;
        else if (byte >= 0xC2 && byte <= 0xDF)
            length = 2;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3;
        else if (byte >= 0xF0 && byte <= 0xF4)
            length = 4;
        bool whole = length > 0 && i + length <= name.size();
        for (size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
        if (whole && length == 3) { // no overlong forms, no surrogates
            const auto second = static_cast<unsigned char>(name[i + 1]);
            whole = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0);
        } else if (whole && length == 4) {
            const auto second = static_cast<unsigned char>(name[i + 1]);
            whole = !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
        }
        if (whole) {
            out.append(name, i, length);
            i += length;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
        ++i;
    }
    return out;
}

// "process 1234 (vpisd-sim)" for every process with the device open, found through /proc.
std::string Holders(const std::string &path) {
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec)
        return {};
    std::string out;
    for (const auto &process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fdError;
        for (const auto &fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) != device || linkError)
                continue;
            // The whole name, spaces and all, up to its line feed.
            std::string name;
            std::getline(std::ifstream(process.path() / "comm"), name);
            name = ShownName(name);
            out += (out.empty() ? "" : ", ") + ("process " + pid) +
                   (name.empty() ? "" : " (" + name + ")");
            break;
        }
    }
    return out;
}

std::string InUse(const std::string &path) {
    const std::string holders = Holders(path);
    return path + " is in use by " + (holders.empty() ? std::string("another program") : holders) +
           ": stop it or choose another port";
}

} // namespace

std::string PortProblem(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return "no such device " + path +
                   ": check the name (ls /dev/ttyS* /dev/ttyUSB*) and that the adapter is "
                   "plugged in";
        }
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISCHR(info.st_mode))
        return path + " is not a serial device";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) {
            const std::string group = GroupName(info.st_gid);
            return "permission denied on " + path + ": it belongs to the group " + group +
                   "; join it (sudo usermod -aG " + group + " $USER) and log in again";
        }
        if (errno == EBUSY)
            return InUse(path);
        return path + ": " + std::strerror(errno);
    }
    termios settings{};
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    const bool serial = tcgetattr(fd, &settings) == 0;
    // Closed before the holders are looked for: this look is not one of them.
    close(fd);
    if (locked)
        return InUse(path);
    if (!serial)
        return path + " is not a serial device";
    return path + " opens, but refused the line settings";
}

bool DeviceVanished(const std::string &path) {
    struct stat info {};
    return path != "NUL" && stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

} // namespace vpisd::host
