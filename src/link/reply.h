// Reply reception and the chain of checks applied to a received reply frame.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr int kReplyMaxBytes = 651; // ReceiveReply never writes beyond offset 650
constexpr int kHeaderHuntSteps = 600;

// Receive result codes.
constexpr int RECEIVE_OK = 0;
constexpr int RECEIVE_REFUSED = 1; // something came, but not an acknowledgement, header or end
constexpr int RECEIVE_SILENT = 2;  // the line went silent

// What the exchange can accept, so that a reply frame is read in a few calls without a byte
// past its checksum being taken: the route length that was sent and, when a body starting
// with `bodyCode` is accepted only at one length (a read reply), that length in bytes after
// DLE doubling is undone (0: none).
struct ReplyShape {
    int routeLength = 0;
    uint8_t bodyCode = 0;
    int bodyBytes = 0;
};

int ReceiveReply(VpiContext *context, uint8_t *reply, int *length, const ReplyShape &shape = {});
// The fewest bytes still to come, after `received` stored ones, of a frame that the checks
// can accept; a frame that ends sooner is refused whatever it holds.
int FrameBytesStillNeeded(const uint8_t *reply, int received, const ReplyShape &shape);
int WaitReplyHeader(VpiContext *context, uint8_t *reply);
int IsFrameEnd(const uint8_t *buffer, int offset);
int CheckReplyFrame(const uint8_t *reply, int length, int routeLength);
int CheckReplyStx(const uint8_t *reply, int length, int routeLength);
int CopyReply(const uint8_t *reply, uint8_t *copy, int length);
int CheckReplyRoute(const uint8_t *copy, int copyLength, const uint8_t *route, int routeLength);
int ExtractReplyData(const uint8_t *copy, int copyLength, uint8_t *data, int routeLength);

} // namespace vpisd
