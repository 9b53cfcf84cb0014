#include "link/frame.h"

#include "link/bytes.h"
#include "serial/instance_io.h"

namespace vpisd {

namespace {

// Copies bytes to out, following every DLE with a second DLE; returns the new write position.
int PutStuffed(const uint8_t *bytes, int count, uint8_t *out, int position) {
    for (int i = 0; i < count; ++i) {
        out[position++] = bytes[i];
        if (bytes[i] == DLE) {
            out[position++] = DLE;
        }
    }
    return position;
}

} // namespace

int BuildFrame(const VpiRequest *request, const uint8_t *body, int bodyLength, const uint8_t *route,
               int routeLength, uint8_t *frame) {
    const auto *tag = static_cast<const TagAccess *>(request->data);
    const auto slot = static_cast<uint16_t>(tag->slot);
    frame[0] = DLE;
    frame[1] = SOH;
    frame[2] = slot < kSlotCount ? request->context->toggle[slot] : 0;
    int position = PutStuffed(route, routeLength, frame, 3);
    frame[position++] = DLE;
    frame[position++] = STX;
    position = PutStuffed(body, bodyLength, frame, position);
    frame[position++] = DLE;
    frame[position++] = ETX;
    // The leading DLE SOH is not covered; the doubled DLEs are.
    frame[position] = Checksum(frame + 2, static_cast<size_t>(position - 2));
    return position + 1;
}

int SendFrame(VpiContext *context, uint8_t *frame, int length) {
    if (length < 0) {
        return 0;
    }
    frame[length] = TRAILER;
    return SendBytes(context, frame, static_cast<uint32_t>(length) + 1u);
}

} // namespace vpisd
