// Reply reception over a real pseudo-terminal: the input is what the PLC side puts on the
// line, all of it waiting in the driver's input before ReceiveReply starts. The read timeout
// is 0, so a read returns at once with what is pending and the line's end is a silent line.
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "driver/context.h"
#include "fuzz_support.h"
#include "link/bytes.h"
#include "link/reply.h"
#include "serial/port.h"

using namespace vpisd;

namespace {

// The terminal's input queue holds 4095 bytes; the longest reception reads 20 bytes of
// acknowledgement hunt, 1,800 of header hunt and a 651-byte frame.
constexpr size_t kLineBytes = 3000;
constexpr auto kArrivalLimit = std::chrono::seconds(2);
// DLE SOH toggle, DLE STX, DLE ETX and the checksum: the shortest frame without a route that
// the checks can accept.
constexpr int kShortestAcceptableFrame = 8;

struct Line {
    int master = -1;
    int slave = -1; // the test's own handle on the driver's terminal: queue size and flush
    VpiContext context{};
};

Line *line = nullptr;

void CloseLine() {
    if (line == nullptr) {
        return;
    }
    ClosePort(line->context.port);
    close(line->slave);
    close(line->master);
}

size_t Pending(int fd) {
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 && count > 0 ? static_cast<size_t>(count) : 0;
}

// Throws away what the driver left unread and anything written towards the PLC side.
void ClearLine() {
    tcflush(line->slave, TCIFLUSH);
    uint8_t scratch[512];
    while (Pending(line->master) > 0 && read(line->master, scratch, sizeof scratch) > 0) {
    }
}

void WriteAll(int fd, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = write(fd, bytes, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        FUZZ_CHECK(put > 0);
        bytes += put;
        count -= static_cast<size_t>(put);
    }
}

// The pty hands bytes from master to slave asynchronously: wait until all are queued.
void WaitQueued(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kArrivalLimit;
    while (Pending(line->slave) < count) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        std::this_thread::yield();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static Line opened;
    char path[64];
    if (openpty(&opened.master, &opened.slave, path, nullptr, nullptr) != 0) {
        std::perror("vpisd receive fuzzer: openpty");
        std::exit(1);
    }
    PortHandle handle = 0;
    if (OpenPort(path, 9600, 8, 0, 2, 8, &handle) != PORT_OK) {
        std::fprintf(stderr, "vpisd receive fuzzer: the driver cannot open %s\n", path);
        std::exit(1);
    }
    opened.context.port = handle;
    opened.context.timeout = 0;
    SetReadTimeout(handle, 0);
    line = &opened;
    std::atexit(CloseLine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size = std::min(size, kLineBytes);
    ClearLine();
    WriteAll(line->master, data, size);
    WaitQueued(size);

    // The 700-byte receive buffer of a transaction, as an exact heap block.
    auto *reply = static_cast<uint8_t *>(std::malloc(kReplyMaxBytes + 49));
    std::memset(reply, fuzz::kGuardByte, kReplyMaxBytes + 49);
    int length = -1;
    const int result = ReceiveReply(&line->context, reply, &length);
    const size_t consumed = size - Pending(line->slave);

    FUZZ_CHECK(result == RECEIVE_OK || result == RECEIVE_REFUSED || result == RECEIVE_SILENT);
    FUZZ_CHECK(fuzz::Untouched(reply, kReplyMaxBytes, kReplyMaxBytes + 49));
    if (result == RECEIVE_SILENT) {
        FUZZ_CHECK(consumed == size); // silence means the line ran dry
    }
    if (result == RECEIVE_OK) {
        FUZZ_CHECK(length >= 6 && length <= kReplyMaxBytes);
        FUZZ_CHECK(reply[0] == DLE && reply[1] == SOH);
        FUZZ_CHECK(reply[2] == TOGGLE_ODD || reply[2] == TOGGLE_EVEN);
        // The frame ends at its first DLE ETX that follows an odd run of DLEs.
        FUZZ_CHECK(IsFrameEnd(reply, length - 2) == 1);
        for (int offset = 3; offset < length - 2; ++offset) {
            FUZZ_CHECK(IsFrameEnd(reply, offset) == 0);
        }
        FUZZ_CHECK(consumed >= static_cast<size_t>(length));
        if (length >= kShortestAcceptableFrame) {
            // The stored frame is the last bytes taken off the line: nothing after the
            // checksum was taken.
            FUZZ_CHECK(std::memcmp(reply, data + consumed - static_cast<size_t>(length),
                                   static_cast<size_t>(length)) == 0);
        } else {
            // A frame too short for the checks to accept may take a few bytes after it off
            // the line; the purge before the next write would drop them anyway.
            FUZZ_CHECK(std::search(data, data + consumed, reply, reply + length) !=
                       data + consumed);
        }
    }
    std::free(reply);
    return 0;
}
