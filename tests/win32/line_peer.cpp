// The POSIX side of the Windows serial checks: a pseudo-terminal that a private Wine
// prefix sees as a COM port (through a dosdevices link), answered either as a SY/MAX PLC
// or as a byte echo. Built natively; runs until SIGTERM or its time limit.
//   line_peer --link PATH --mode plc|echo|deaf [--register N=V]... [--seconds S]
// plc: answers the link enquiry with 10 12, acknowledges each request frame with 10 11
// and replies to register reads and writes from its own register table. It checks every
// frame's checksum and toggle byte and every reply acknowledgement, and exits non-zero
// when one was wrong. echo: echoes every byte; 0xD1 to 0xDF after (low nibble x 100) ms.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t DLE = 0x10, SOH = 0x01, STX = 0x02, ETX = 0x03, ENQ = 0x05, NAK = 0x15;
constexpr uint8_t kToggleA = 0x11, kToggleB = 0x12;

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

uint8_t Checksum(const uint8_t *bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(-sum & 0xFF);
}

void WriteAll(int fd, const Bytes &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) {
            return;
        }
        done += static_cast<size_t>(put);
    }
}

class Plc {
  public:
    explicit Plc(int fd) : fd_(fd) {}
    std::map<unsigned, uint16_t> registers;
    int requests = 0;
    int faults = 0;

    // Consumes whole units from the front of the input; leaves an incomplete frame.
    void Feed(Bytes *input) {
        size_t used = 0;
        while (used < input->size()) {
            const size_t unit = Take(input->data() + used, input->size() - used);
            if (unit == 0) {
                break;
            }
            used += unit;
        }
        input->erase(input->begin(), input->begin() + static_cast<long>(used));
    }

  private:
    int fd_;
    uint8_t expectedToggle_ = 0; // 0 until a link enquiry
    uint8_t ackToCome_ = 0;      // toggle of the reply the driver has yet to acknowledge

    void Fault(const char *what) {
        ++faults;
        std::fprintf(stderr, "line_peer: %s\n", what);
    }

    size_t Take(const uint8_t *bytes, size_t count) {
        if (bytes[0] != DLE) {
            if (bytes[0] != 0xFE) {
                Fault("stray byte outside a control pair");
            }
            return 1;
        }
        if (count < 2) {
            return 0;
        }
        switch (bytes[1]) {
        case ENQ:
            expectedToggle_ = kToggleA; // what the answer 10 12 tells the driver
            WriteAll(fd_, {DLE, kToggleB});
            return 2;
        case NAK:
            return 2;
        case kToggleA:
        case kToggleB:
            if (bytes[1] != ackToCome_) {
                Fault("reply acknowledgement does not carry the reply's toggle");
            }
            ackToCome_ = 0;
            return 2;
        case SOH:
            return TakeFrame(bytes, count);
        default:
            Fault("unknown control pair");
            return 2;
        }
    }

    size_t TakeFrame(const uint8_t *bytes, size_t count) {
        size_t i = 3;
        Bytes route;
        while (i + 1 < count && !(bytes[i] == DLE && bytes[i + 1] == STX)) {
            route.push_back(bytes[i++]);
        }
        if (i + 1 >= count) {
            return 0;
        }
        i += 2;
        Bytes body;
        for (;;) {
            if (i + 1 >= count) {
                return 0;
            }
            if (bytes[i] == DLE && bytes[i + 1] == DLE) {
                body.push_back(DLE);
                i += 2;
            } else if (bytes[i] == DLE && bytes[i + 1] == ETX) {
                i += 2;
                break;
            } else {
                body.push_back(bytes[i++]);
            }
        }
        if (i >= count) {
            return 0;
        }
        const uint8_t toggle = bytes[2];
        if (Checksum(bytes + 2, i - 2) != bytes[i]) {
            Fault("request checksum wrong");
        }
        if (toggle != expectedToggle_) {
            Fault("request toggle is not the one the link expects");
        }
        if (ackToCome_ != 0) {
            Fault("request before the previous reply was acknowledged");
        }
        ++requests;
        Answer(toggle, route, Serve(body));
        expectedToggle_ = toggle == kToggleA ? kToggleB : kToggleA;
        return i + 1;
    }

    // Register offsets are bytes from register 1; read counts are words minus one.
    Bytes Serve(const Bytes &body) {
        if (body.size() < 4) {
            Fault("body too short");
            return {0xA2, 0, 0x01};
        }
        const uint8_t sequence = body[1];
        const unsigned first = ((body[2] << 8 | body[3]) / 2u) + 1u;
        if (body[0] == 0x00 && body.size() == 6) {
            const unsigned words = (body[4] << 8 | body[5]) + 1u;
            Bytes reply{0x86, sequence, 0x00, 0x00};
            for (unsigned k = 0; k < words; ++k) {
                const uint16_t value = registers[first + k];
                reply.push_back(static_cast<uint8_t>(value >> 8));
                reply.push_back(static_cast<uint8_t>(value & 0xFF));
            }
            return reply;
        }
        const bool endMarker =
            body.size() >= 6 && body[body.size() - 2] == 0xFF && body[body.size() - 1] == 0xFF;
        if (body[0] == 0x02 && body.size() == 8 && !endMarker) {
            const uint16_t value = static_cast<uint16_t>(body[4] << 8 | body[5]);
            const uint16_t mask = static_cast<uint16_t>(body[6] << 8 | body[7]);
            registers[first] = static_cast<uint16_t>((registers[first] & ~mask) | (value & mask));
            return {0x80, sequence};
        }
        if (body[0] == 0x02 && endMarker && body.size() % 2 == 0) {
            for (size_t k = 4; k + 2 < body.size(); k += 2) {
                registers[first + static_cast<unsigned>((k - 4) / 2)] =
                    static_cast<uint16_t>(body[k] << 8 | body[k + 1]);
            }
            return {0x80, sequence};
        }
        Fault("unknown command body");
        return {0xA2, sequence, 0x01};
    }

    // Acknowledge, then the reply: the request's toggle, the route with its two-character
    // groups reversed, the body with every DLE doubled, the checksum.
    void Answer(uint8_t toggle, const Bytes &route, const Bytes &body) {
        Bytes out{DLE, kToggleA, DLE, SOH, toggle};
        for (size_t k = route.size(); k >= 2; k -= 2) {
            out.push_back(route[k - 2]);
            out.push_back(route[k - 1]);
        }
        out.push_back(DLE);
        out.push_back(STX);
        for (const uint8_t byte : body) {
            out.push_back(byte);
            if (byte == DLE) {
                out.push_back(DLE);
            }
        }
        out.push_back(DLE);
        out.push_back(ETX);
        out.push_back(Checksum(out.data() + 4, out.size() - 4));
        ackToCome_ = toggle;
        WriteAll(fd_, out);
    }
};

struct Delayed {
    Clock::time_point due;
    uint8_t byte;
};

void Echo(int fd, const Bytes &input, std::deque<Delayed> *queue) {
    for (const uint8_t byte : input) {
        auto due = Clock::now();
        if (byte >= 0xD1 && byte <= 0xDF) {
            due += std::chrono::milliseconds(100 * (byte & 0x0F));
        }
        if (!queue->empty() && queue->back().due > due) {
            due = queue->back().due; // keeps the order of the bytes
        }
        queue->push_back({due, byte});
    }
    while (!queue->empty() && queue->front().due <= Clock::now()) {
        WriteAll(fd, {queue->front().byte});
        queue->pop_front();
    }
}

} // namespace

int main(int argc, char **argv) {
    std::string link;
    std::string mode = "plc";
    int seconds = 120;
    std::map<unsigned, uint16_t> registers;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char *value = argv[i + 1];
        if (flag == "--link") {
            link = value;
        } else if (flag == "--mode") {
            mode = value;
        } else if (flag == "--seconds") {
            seconds = std::atoi(value);
        } else if (flag == "--register") {
            unsigned number = 0;
            int content = 0;
            if (std::sscanf(value, "%u=%i", &number, &content) == 2) {
                registers[number] = static_cast<uint16_t>(content);
            }
        }
    }
    if (link.empty() || (mode != "plc" && mode != "echo" && mode != "deaf")) {
        std::fprintf(stderr,
                     "usage: line_peer --link PATH --mode plc|echo|deaf [--register N=V]...\n");
        return 2;
    }
    int master = -1, slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    // Raw from the start; the slave stays open here so that the line state survives
    // between the Windows side's opens.
    termios line{};
    tcgetattr(slave, &line);
    cfmakeraw(&line);
    tcsetattr(slave, TCSANOW, &line);
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0) {
        std::perror("symlink");
        return 2;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::printf("READY %s\n", name);
    std::fflush(stdout);

    Plc plc(master);
    plc.registers = registers;
    std::deque<Delayed> echoQueue;
    Bytes input;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (gStop == 0 && Clock::now() < deadline) {
        if (mode == "deaf") { // never reads: the line stops draining once its queue is full
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 10) > 0 && (ready.revents & POLLIN) != 0) {
            uint8_t chunk[512];
            const ssize_t got = read(master, chunk, sizeof chunk);
            if (got > 0) {
                input.insert(input.end(), chunk, chunk + got);
            }
        }
        if (mode == "echo") {
            Echo(master, input, &echoQueue);
            input.clear();
        } else {
            plc.Feed(&input);
        }
    }
    unlink(link.c_str());
    if (mode == "plc") {
        std::fprintf(stderr, "line_peer: %d requests, %d faults\n", plc.requests, plc.faults);
        return plc.faults == 0 ? 0 : 1;
    }
    return 0;
}
