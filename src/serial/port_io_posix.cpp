// Reads, writes and read timeouts on an open port, with the Win32 meaning of the read
// timeout: one read call ends when all requested bytes are in or when the timeout has
// passed since the call began, with whatever arrived.
#include "serial/port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "serial/port_table_posix.h"

namespace vpisd {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kMsPerTimeoutUnit = 10;
constexpr int32_t kFlushTimeout = 5; // 50 ms per drain read
constexpr uint32_t kFlushBlockBytes = 512;

int64_t TimeoutUnitsToMs(int32_t timeout) {
    return timeout < 0 ? 0 : static_cast<int64_t>(timeout) * kMsPerTimeoutUnit;
}

// Milliseconds left until the deadline, rounded up so that poll never wakes early,
// and capped at what poll accepts.
int PollMsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// One read call: returns the number of bytes read, or -1 when the system call failed.
// A signal does not end the wait; a device at end of input (the null device, a line whose
// far end hung up) ends it at once.
int64_t ReadCall(int fd, uint8_t *buffer, uint32_t count, int64_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t total = 0;
    while (total < count) {
        pollfd ready{fd, POLLIN, 0};
        const int waitMs = PollMsUntil(deadline);
        const int polled = poll(&ready, 1, waitMs);
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (polled == 0) {
            if (waitMs == 0 || Clock::now() >= deadline) {
                break;
            }
            continue;
        }
        if ((ready.revents & POLLNVAL) != 0) {
            return -1;
        }
        const ssize_t got = read(fd, buffer + total, count - total);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<uint32_t>(got);
    }
    return total;
}

void SleepMs(uint32_t milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000);
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

} // namespace

int32_t SetReadTimeout(PortHandle handle, int32_t timeout) {
    int64_t previousMs = 0;
    if (!ExchangeReadTimeout(handle, TimeoutUnitsToMs(timeout), &previousMs)) {
        return 0;
    }
    return static_cast<int32_t>(previousMs / kMsPerTimeoutUnit);
}

// Writes have no time limit. A signal may cut a blocking write short; the rest of the
// buffer still belongs to the same frame, so the loop goes on with it.
int32_t PortWrite(PortHandle handle, const uint8_t *buffer, uint32_t count, uint32_t *written) {
    PortEntry entry;
    if (!FindPortEntry(handle, &entry) || (buffer == nullptr && count > 0)) {
        return PORT_IO_FAILED;
    }
    uint32_t total = 0;
    while (total < count) {
        const ssize_t put = write(entry.fd, buffer + total, count - total);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && total == 0) {
            return PORT_IO_FAILED;
        }
        if (put <= 0) {
            break; // the device took part of the buffer and then stopped
        }
        total += static_cast<uint32_t>(put);
    }
    if (written != nullptr) {
        *written = total;
    }
    return total == count ? PORT_OK : PORT_SHORT_WRITE;
}

int32_t PortRead(PortHandle handle, uint8_t *buffer, uint32_t count, uint32_t *read) {
    if (read != nullptr) {
        *read = 0;
    }
    PortEntry entry;
    if (!FindPortEntry(handle, &entry) || (buffer == nullptr && count > 0)) {
        return PORT_IO_FAILED;
    }
    uint32_t total = 0;
    while (total < count) {
        const int64_t got = ReadCall(entry.fd, buffer + total, count - total, entry.readTimeoutMs);
        if (got <= 0) {
            return PORT_IO_FAILED;
        }
        total += static_cast<uint32_t>(got);
        if (read != nullptr) {
            *read = total;
        }
        // A timeout set meanwhile applies from the next read call on.
        if (total < count && !FindPortEntry(handle, &entry)) {
            return PORT_IO_FAILED;
        }
    }
    return PORT_OK;
}

int32_t FlushPort(PortHandle handle) {
    PortEntry entry;
    if (!FindPortEntry(handle, &entry)) {
        return 1;
    }
    int pending = 0;
    if (ioctl(entry.fd, FIONREAD, &pending) == 0 && pending == 0) {
        return 0;
    }
    const int32_t previous = SetReadTimeout(handle, kFlushTimeout);
    uint8_t scratch[kFlushBlockBytes];
    int64_t got = 0;
    do {
        got = ReadCall(entry.fd, scratch, kFlushBlockBytes, TimeoutUnitsToMs(kFlushTimeout));
    } while (got == kFlushBlockBytes);
    if (previous != 0) {
        SetReadTimeout(handle, previous);
    }
    return got < 0 ? 1 : 0;
}

int32_t SendBreak(uint32_t milliseconds, PortHandle handle) {
    PortEntry entry;
    const bool open = FindPortEntry(handle, &entry);
    if (open) {
        ioctl(entry.fd, TIOCSBRK);
    }
    SleepMs(milliseconds);
    if (open) {
        ioctl(entry.fd, TIOCCBRK);
    }
    return 0;
}

int32_t PortSleep(uint32_t milliseconds) {
    SleepMs(milliseconds);
    return 0;
}

} // namespace vpisd
