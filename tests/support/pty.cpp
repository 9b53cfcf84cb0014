#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace vpisd::test {

Pty::Pty() {
    char name[64] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    path_ = name;
}

Pty::~Pty() {
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

void Pty::Write(const std::vector<uint8_t> &bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> Pty::Read(size_t count, int timeoutMs) const {
    std::vector<uint8_t> out;
    uint8_t buffer[512];
    while (out.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0)
            break;
        const size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = read(master_, buffer, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

std::vector<uint8_t> Pty::Drain(int quietMs) const {
    return Read(SIZE_MAX, quietMs);
}

std::vector<uint8_t> Hex(const std::string &text) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const std::vector<uint8_t> &bytes) {
    std::string out;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, out.empty() ? "%02X" : " %02X", b);
        out += pair;
    }
    return out;
}

size_t FillOutputQueue(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    static const std::vector<uint8_t> chunk(4096, 0x55);
    size_t queued = 0;
    int idleRounds = 0;
    while (idleRounds < 2) {
        size_t round = 0;
        for (size_t size : {4096u, 256u, 16u, 1u}) {
            for (ssize_t put = 1; put > 0;) {
                put = write(fd, chunk.data(), size);
                round += put > 0 ? static_cast<size_t>(put) : 0u;
            }
        }
        queued += round;
        idleRounds = round == 0 ? idleRounds + 1 : 0;
        usleep(20000);
    }
    return queued;
}

} // namespace vpisd::test
