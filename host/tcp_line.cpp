#include "host/tcp_line.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace vpisd::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50; // how often an idle bridge looks at its stop flag
constexpr int kConnectTimeoutMs = 2000;
constexpr int kFirstPauseMs = 100; // before the first reconnect; doubles up to the last
constexpr int kLongestPauseMs = 5000;

} // namespace

TcpLine::~TcpLine() {
    Stop();
}

bool TcpLine::Start(std::string_view port, std::string &error) {
    std::string why;
    const auto endpoint = ParseTcpPort(port, why);
    if (!endpoint) {
        error = "malformed TCP line " + std::string(port) + ": " + why;
        return false;
    }
    host_ = endpoint->host;
    port_ = endpoint->port;
    if (!pty_.Open(error))
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TcpLine::Stop() {
    if (!thread_.joinable())
        return;
    stop_ = true;
    thread_.join();
}

bool TcpLine::WaitConnected(int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!connected_ && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return connected_;
}

void TcpLine::Tell(const std::string &text) const {
    if (onEvent_)
        onEvent_(text);
}

// One connection attempt: every address of the host in turn, each with a bounded wait.
int TcpLine::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &list) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *a = list; a != nullptr && fd < 0 && !stop_; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = ETIMEDOUT;
            socklen_t size = sizeof error;
            if (poll(&p, 1, kConnectTimeoutMs) == 1)
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                close(fd);
                fd = -1;
            }
        } else if (errno != 0 && errno != EINPROGRESS) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd >= 0) {
        const int one = 1; // a frame's last bytes must not wait for more
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

void TcpLine::Run() {
    const std::string where = EndpointText(host_, port_);
    int sock = -1;
    int pauseMs = kFirstPauseMs;
    auto nextTry = Clock::now();
    bool toldDown = false;
    uint8_t chunk[512];
    while (!stop_) {
        if (sock < 0 && Clock::now() >= nextTry) {
            errno = 0;
            sock = Connect();
            if (sock >= 0) {
                connected_ = true;
                pauseMs = kFirstPauseMs;
                toldDown = false;
                Tell("connected to " + where);
            } else {
                if (!toldDown)
                    Tell("cannot reach " + where + ", trying again");
                toldDown = true;
                nextTry = Clock::now() + std::chrono::milliseconds(pauseMs);
                pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
            }
        }
        pollfd fds[kRelaySlots];
        fds[kDriverSide] = {pty_.master(), POLLIN, 0};
        fds[kFarSide] = {sock, POLLIN, 0};
        // Without a socket only the driver's side is polled.
        if (poll(fds, sock >= 0 ? kRelaySlots : kFarSide, kPollMs) <= 0)
            continue;
        bool lost = false;
        if ((fds[kDriverSide].revents & POLLIN) != 0) {
            const ssize_t n = read(pty_.master(), chunk, sizeof chunk);
            // With the TCP side down the driver's bytes go nowhere: a silent line.
            if (n > 0 && sock >= 0)
                lost = !WriteAll(sock, true, {chunk, static_cast<size_t>(n)});
        }
        if (sock >= 0 && !lost && fds[kFarSide].revents != 0) {
            const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
            if (n > 0) // a driver that reads nothing loses these bytes, not the connection
                WriteAll(pty_.master(), false, {chunk, static_cast<size_t>(n)});
            else
                lost = n == 0 || (errno != EAGAIN && errno != EINTR);
        }
        if (lost) {
            close(sock);
            sock = -1;
            connected_ = false;
            toldDown = true;
            Tell("lost the connection to " + where + ", reconnecting");
            nextTry = Clock::now() + std::chrono::milliseconds(pauseMs);
            pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
        }
    }
    if (sock >= 0)
        close(sock);
    connected_ = false;
}

} // namespace vpisd::host
