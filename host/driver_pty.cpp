#include "host/driver_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vpisd::host {
namespace {

constexpr int kWriteTimeoutMs = 1000;

} // namespace

DriverPty::~DriverPty() {
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

bool DriverPty::Open(std::string &error) {
    termios raw{};
    cfmakeraw(&raw);
    char name[64] = {};
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
    return true;
}

bool WriteAll(int fd, bool isSocket, std::span<const uint8_t> data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = isSocket ? send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL)
                                   : write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kWriteTimeoutMs) <= 0)
            return false;
    }
    return true;
}

} // namespace vpisd::host
