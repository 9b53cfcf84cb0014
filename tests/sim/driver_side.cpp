#include "driver_side.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace vpisd::sim::test {

Bytes WireFrame(uint8_t toggle, const std::string &route, const Bytes &body, bool trailer) {
    Bytes covered{toggle};
    auto put = [&covered](uint8_t b) {
        covered.push_back(b);
        if (b == 0x10)
            covered.push_back(0x10);
    };
    for (char c : route)
        put(static_cast<uint8_t>(c));
    covered.push_back(0x10);
    covered.push_back(0x02);
    for (uint8_t b : body)
        put(b);
    covered.push_back(0x10);
    covered.push_back(0x03);
    unsigned sum = 0;
    for (uint8_t b : covered)
        sum += b;
    Bytes frame{0x10, 0x01};
    frame.insert(frame.end(), covered.begin(), covered.end());
    frame.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    if (trailer)
        frame.push_back(0xFE);
    return frame;
}

DriverSide::DriverSide(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + path);
    termios raw{};
    tcgetattr(fd_, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd_, TCSANOW, &raw);
    tcflush(fd_, TCIOFLUSH);
}

DriverSide::~DriverSide() {
    if (fd_ >= 0)
        close(fd_);
}

void DriverSide::Write(const Bytes &bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to the simulator failed");
        done += static_cast<size_t>(n);
    }
}

Bytes DriverSide::Read(size_t count, int timeoutMs) const {
    Bytes out;
    uint8_t buffer[512];
    while (out.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0)
            break;
        const size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = read(fd_, buffer, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

Bytes DriverSide::Drain(int quietMs) const {
    return Read(SIZE_MAX, quietMs);
}

Bytes DriverSide::Enquire() const {
    Bytes enquiry(10, 0xFE);
    enquiry.push_back(0x10);
    enquiry.push_back(0x05);
    Write(enquiry);
    return Read(2, 1000);
}

Bytes DriverSide::Request(uint8_t toggle, const std::string &route, const Bytes &body, int quietMs,
                          int ackMs) const {
    Write({0x10, 0x15});
    Write(WireFrame(toggle, route, body));
    Bytes answer = Read(2, ackMs);
    const Bytes rest = Drain(quietMs);
    answer.insert(answer.end(), rest.begin(), rest.end());
    return answer;
}

} // namespace vpisd::sim::test
