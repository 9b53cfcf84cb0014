#include "pty_line.h"

#include "error.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vpisd::sim {

PtyLine::PtyLine() {
    char name[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw SimError(std::string("openpty failed: ") + std::strerror(errno));
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
}

PtyLine::~PtyLine() {
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

std::vector<uint8_t> PtyLine::Read(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) {
        // A hang-up or error would make poll return at once; do not spin on it.
        if (p.revents != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return {};
    }
    uint8_t buffer[512];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0)
        return {};
    return std::vector<uint8_t>(buffer, buffer + n);
}

void PtyLine::WriteSome(std::span<const uint8_t> bytes, const std::atomic<bool> &stop) {
    size_t done = 0;
    while (done < bytes.size() && !stop) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        // The driver's input queue is full: wait for room, a little at a time.
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

void PtyLine::Write(std::span<const uint8_t> bytes, unsigned baud, unsigned bitsPerChar,
                    const std::atomic<bool> &stop) {
    if (baud == 0) {
        WriteSome(bytes, stop);
        return;
    }
    using namespace std::chrono;
    const auto charTime = duration<double>(static_cast<double>(bitsPerChar) / baud);
    const auto start = steady_clock::now();
    for (size_t i = 0; i < bytes.size() && !stop; ++i) {
        std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(charTime * i));
        WriteSome(bytes.subspan(i, 1), stop);
    }
    std::this_thread::sleep_until(start +
                                  duration_cast<steady_clock::duration>(charTime * bytes.size()));
}

} // namespace vpisd::sim
