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
            std::string name;
            std::ifstream(process.path() / "comm") >> name;
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
    std::string why;
    termios settings{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        why = InUse(path);
    } else if (tcgetattr(fd, &settings) != 0) {
        why = path + " is not a serial device";
    } else {
        why = path + " opens, but refused the line settings";
    }
    close(fd);
    return why;
}

bool DeviceVanished(const std::string &path) {
    struct stat info {};
    return path != "NUL" && stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

} // namespace vpisd::host
