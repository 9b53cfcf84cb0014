// Reads, writes and read timeouts on an open port, with the Win32 meaning of the read
// timeout: one read call ends when all requested bytes are in or when the timeout has
// passed since the call began, with whatever arrived.
#include "serial/port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// Waits until input is pending (or the line reports an end or an error, which the next
// read tells apart). Returns 1 then, 0 when the deadline passed, -1 when poll failed.
int WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int waitMs = PollMsUntil(deadline);
        const int polled = poll(&ready, 1, waitMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0 || (polled > 0 && (ready.revents & POLLNVAL) != 0)) {
            return -1;
        }
        if (polled > 0) {
            return 1;
        }
        if (waitMs == 0 || Clock::now() >= deadline) {
            return 0;
        }
    }
}

constexpr ssize_t kEndOfInput = -2;

// Takes what is pending, at most count bytes: their number (0 when none), kEndOfInput for a
// device at end of input (the null device, a line whose far end hung up), -1 on failure.
ssize_t ReadPending(int fd, uint8_t *buffer, uint32_t count) {
    for (;;) {
        const ssize_t got = read(fd, buffer, count);
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            return kEndOfInput;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN ? 0 : -1;
    }
}

// The time count characters take on the line, saturated far beyond any real transfer.
std::chrono::nanoseconds LineTime(const PortEntry &entry, uint32_t count) {
    constexpr int64_t kLongestNs = int64_t{24} * 3600 * 1'000'000'000;
    if (entry.charTimeNs <= 0) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(count > kLongestNs / entry.charTimeNs
                                        ? kLongestNs
                                        : entry.charTimeNs * static_cast<int64_t>(count));
}

void SleepUntil(Clock::time_point until) {
    const auto sinceEpoch = until.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    // steady_clock is CLOCK_MONOTONIC on Linux.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// One read call, as a Win32 read call behaves: waits until all count bytes are in or the
// deadline has passed. Returns the number read (0 when none came), or -1 when a system
// call failed. Bytes still missing once one has come are on their way at the line's
// speed: one sleep for all of them costs a single wake-up, where poll() would wake for
// every byte.
int64_t ReadCall(const PortEntry &entry, uint8_t *buffer, uint32_t count) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(entry.readTimeoutMs);
    uint32_t total = 0;
    while (total < count) {
        const int readable = WaitReadable(entry.fd, deadline);
        if (readable < 0) {
            return -1;
        }
        if (readable == 0) {
            break;
        }
        ssize_t got = ReadPending(entry.fd, buffer + total, count - total);
        if (got == kEndOfInput) {
            break;
        }
        if (got < 0) {
            return -1;
        }
        total += static_cast<uint32_t>(got);
        if (total < count && got > 0 && entry.charTimeNs > 0) {
            SleepUntil(std::min(Clock::now() + LineTime(entry, count - total), deadline));
            got = ReadPending(entry.fd, buffer + total, count - total);
            if (got == -1) {
                return -1;
            }
            total += got > 0 ? static_cast<uint32_t>(got) : 0u;
        }
    }
    return total;
}

// Waits up to the read timeout for a first byte, then takes what comes up to `most`:
// while bytes keep arriving, it sleeps until the rest should be in at the line's speed, in
// steps no longer than the read timeout, and stops at the first step that brings nothing.
// So the timeout bounds the wait for each next byte, not for the whole chunk. Returns the
// number read (0 when none came), or -1 when a system call failed before any byte.
int64_t ReadSome(const PortEntry &entry, uint8_t *buffer, uint32_t most) {
    const auto timeout = std::chrono::milliseconds(entry.readTimeoutMs);
    const int readable = WaitReadable(entry.fd, Clock::now() + timeout);
    if (readable <= 0) {
        return readable;
    }
    ssize_t got = ReadPending(entry.fd, buffer, most);
    if (got == kEndOfInput) {
        return 0;
    }
    if (got < 0) {
        return -1;
    }
    auto total = static_cast<uint32_t>(got);
    // A sender slower than the line (gaps between characters) is timed by what it has
    // sent since the first read, so that the sleeps do not fall short again and again.
    const uint32_t firstBatch = total;
    const Clock::time_point firstRead = Clock::now();
    Clock::duration perChar = std::chrono::nanoseconds(entry.charTimeNs);
    while (total < most && got > 0 && entry.charTimeNs > 0) {
        const Clock::time_point now = Clock::now();
        if (total > firstBatch) {
            perChar = std::max(perChar, (now - firstRead) / (total - firstBatch));
        }
        const uint32_t left = most - total;
        const Clock::duration step = left > timeout / perChar
                                         ? Clock::duration(timeout)
                                         : perChar * static_cast<int64_t>(left);
        SleepUntil(now + step);
        got = ReadPending(entry.fd, buffer + total, most - total);
        total += got > 0 ? static_cast<uint32_t>(got) : 0u;
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

// Bounded, a deliberate choice of vpisd: a line that stops draining (the far end stops
// reading, flow control holds it, an adapter wedges) would otherwise hold the caller for
// good. The bytes get the time they need at the line's speed plus the read timeout. A
// signal may cut a write short; the rest still belongs to the same frame.
int32_t PortWrite(PortHandle handle, const uint8_t *buffer, uint32_t count, uint32_t *written) {
    PortEntry entry;
    if (!FindPortEntry(handle, &entry) || (buffer == nullptr && count > 0)) {
        return PORT_IO_FAILED;
    }
    const Clock::time_point deadline =
        Clock::now() + LineTime(entry, count) + std::chrono::milliseconds(entry.readTimeoutMs);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t put = write(entry.fd, buffer + total, count - total);
        if (put > 0) {
            total += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN) {
            if (total == 0) {
                return PORT_IO_FAILED;
            }
            break; // the device took part of the buffer and then failed
        }
        // The output queue is full: wait for room until the deadline.
        pollfd room{entry.fd, POLLOUT, 0};
        const int waitMs = PollMsUntil(deadline);
        const int polled = poll(&room, 1, waitMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0 || (room.revents & POLLOUT) == 0) {
            if (polled == 0 && waitMs > 0 && Clock::now() < deadline) {
                continue;
            }
            break;
        }
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
        const int64_t got = ReadCall(entry, buffer + total, count - total);
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

int32_t PortReadSome(PortHandle handle, uint8_t *buffer, uint32_t most, uint32_t *read) {
    if (read != nullptr) {
        *read = 0;
    }
    PortEntry entry;
    if (!FindPortEntry(handle, &entry) || buffer == nullptr || most == 0) {
        return PORT_IO_FAILED;
    }
    const int64_t got = ReadSome(entry, buffer, most);
    if (got <= 0) {
        return PORT_IO_FAILED;
    }
    if (read != nullptr) {
        *read = static_cast<uint32_t>(got);
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
    entry.readTimeoutMs = TimeoutUnitsToMs(kFlushTimeout);
    do {
        got = ReadCall(entry, scratch, kFlushBlockBytes);
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
