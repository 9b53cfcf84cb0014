#include "link/reply.h"

#include <algorithm>
#include <cstring>

#include "driver/log.h"
#include "link/bytes.h"
#include "link/handshake.h"
#include "serial/instance_io.h"

namespace vpisd {

namespace {

constexpr int kHeaderBytes = 3;                    // DLE SOH toggle
constexpr int kLastEndOffset = kReplyMaxBytes - 2; // the checksum after it lands at 650
// Eight drops of two characters: the longest route a request can carry, so the longest
// reply route that can match one.
constexpr int kMaxReplyRouteCharacters = 16;
constexpr int kReplyRouteArea = 20;

bool IsToggle(uint8_t byte) {
    return byte == TOGGLE_ODD || byte == TOGGLE_EVEN;
}

} // namespace

int ReceiveReply(VpiContext *context, uint8_t *reply, int *length, const ReplyShape &shape) {
    reply[0] = 0;
    reply[1] = 0;
    const uint16_t ack = ReadAckResponse(context, reply);
    if (ack != 0) {
        return ack;
    }
    if (WaitReplyHeader(context, reply) == 0) {
        return RECEIVE_REFUSED;
    }
    // Each read takes what has come, up to what an acceptable frame still needs, so the end
    // test runs on every byte and a byte beyond the checksum is left on the line.
    int received = kHeaderBytes;
    int end = -1;
    while (end < 0 && received <= kLastEndOffset) {
        const int most =
            std::min(FrameBytesStillNeeded(reply, received, shape), kLastEndOffset + 1 - received);
        uint32_t got = 0;
        if (ReceiveSome(context, reply + received, static_cast<uint32_t>(most), &got) == 0) {
            return RECEIVE_SILENT;
        }
        const int stored = received + static_cast<int>(got);
        for (int offset = received; offset < stored && end < 0; ++offset) {
            if (IsFrameEnd(reply, offset) != 0) {
                end = offset;
            }
        }
        received = stored;
    }
    if (end < 0) {
        Log(LOG_DEBUG, "VPISD: Could not find <end_header>");
        return RECEIVE_REFUSED;
    }
    if (received == end + 1 && ReceiveBytes(context, reply + end + 1, 1) == 0) {
        return RECEIVE_SILENT;
    }
    *length = end + 2;
    return RECEIVE_OK;
}

int FrameBytesStillNeeded(const uint8_t *reply, int received, const ReplyShape &shape) {
    // The end still to come: DLE ETX and the checksum, or ETX and the checksum after a
    // trailing odd run of DLEs.
    int run = 0;
    for (int i = received - 1; i > 0 && reply[i] == DLE; --i) {
        ++run;
    }
    const int endBytes = run % 2 == 1 ? 2 : 3;
    // Shortest frame that passes the checks: header, route, DLE STX, DLE ETX, checksum.
    const int bodyStart = kHeaderBytes + std::max(shape.routeLength, 0) + 2;
    int needed = bodyStart + 3 - received;
    const bool fullBody = shape.bodyBytes > 0 && received > bodyStart &&
                          reply[bodyStart - 2] == DLE && reply[bodyStart - 1] == STX &&
                          reply[bodyStart] == shape.bodyCode;
    if (fullBody) {
        // Count the body so far with doubled DLEs undone; a DLE at the very end is either
        // half of a data pair or the DLE of the frame end.
        int bodyBytes = 0;
        bool openDle = false;
        bool wellFormed = true;
        for (int i = bodyStart; i < received && wellFormed; ++i) {
            if (openDle) {
                wellFormed = reply[i] == DLE;
                openDle = false;
                ++bodyBytes;
            } else if (reply[i] == DLE) {
                openDle = true;
            } else {
                ++bodyBytes;
            }
        }
        const int missing = shape.bodyBytes - bodyBytes;
        if (wellFormed && openDle && missing >= 0) {
            // Data pair: its second DLE, the rest of the body, the end; or the end's ETX and
            // checksum when the body is complete.
            needed = missing == 0 ? 2 : missing + 3;
        } else if (wellFormed && missing >= 0) {
            needed = missing + 3;
        }
    }
    return std::max(needed, endBytes);
}

int WaitReplyHeader(VpiContext *context, uint8_t *reply) {
    for (int step = 0; step < kHeaderHuntSteps; ++step) {
        uint8_t byte = 0;
        if (ReceiveBytes(context, &byte, 1) == 0) {
            return 0;
        }
        if (byte != DLE) {
            continue;
        }
        // The two bytes after a DLE are consumed together, whatever they turn out to be.
        reply[0] = DLE;
        if (ReceiveBytes(context, reply + 1, 2) == 0) {
            return 0;
        }
        if (reply[1] == SOH && IsToggle(reply[2])) {
            return 1;
        }
    }
    return 0;
}

int IsFrameEnd(const uint8_t *buffer, int offset) {
    if (offset < 1 || buffer[offset] != ETX) {
        return 0;
    }
    // DLE ETX ends the frame; DLE DLE ETX is a data DLE and a data 0x03.
    int run = 0;
    for (int i = offset - 1; i > 0 && buffer[i] == DLE; --i) {
        ++run;
    }
    return run % 2;
}

int CheckReplyFrame(const uint8_t *reply, int length, int routeLength) {
    if (length < kHeaderBytes) {
        return 0;
    }
    if (Checksum(reply + 2, static_cast<size_t>(length - 3)) != reply[length - 1]) {
        return 0;
    }
    return CheckReplyStx(reply, length, routeLength);
}

int CheckReplyStx(const uint8_t *reply, int length, int routeLength) {
    const int position = kHeaderBytes + routeLength;
    if (routeLength < 0 || position + 1 >= length) {
        return 0;
    }
    return reply[position] == DLE && reply[position + 1] == STX ? 1 : 0;
}

int CopyReply(const uint8_t *reply, uint8_t *copy, int length) {
    int written = 0;
    int i = 0;
    while (i < length) {
        copy[written++] = reply[i];
        const bool doubled = reply[i] == DLE && i + 1 < length && reply[i + 1] == DLE;
        i += doubled ? 2 : 1;
    }
    return written;
}

int CheckReplyRoute(const uint8_t *copy, int copyLength, const uint8_t *route, int routeLength) {
    if (copyLength < kHeaderBytes + 2) {
        return 0;
    }
    if (copy[3] == DLE && copy[4] == STX) {
        return 1;
    }
    uint8_t collected[kReplyRouteArea] = {};
    int count = 0;
    for (int i = kHeaderBytes; i < copyLength - 1; ++i) {
        if (copy[i] == DLE && copy[i + 1] == STX) {
            break;
        }
        if (count == kMaxReplyRouteCharacters) {
            return 0;
        }
        collected[count++] = copy[i];
    }
    if (count % 2 != 0 || count > routeLength) {
        return 0;
    }
    // The reply lists the drops in the opposite order: compare group k from the end.
    const int groups = count / 2;
    for (int k = 0; k < groups; ++k) {
        const uint8_t *reversed = collected + 2 * (groups - 1 - k);
        if (reversed[0] != route[2 * k] || reversed[1] != route[2 * k + 1]) {
            return 0;
        }
    }
    return 1;
}

int ExtractReplyData(const uint8_t *copy, int copyLength, uint8_t *data, int routeLength) {
    const int count = copyLength - 8 - routeLength;
    if (count <= 0 || routeLength < 0) {
        return 0;
    }
    std::memcpy(data, copy + 5 + routeLength, static_cast<size_t>(count));
    return count;
}

} // namespace vpisd
