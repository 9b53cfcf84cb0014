// Request frames: DLE SOH toggle route DLE STX body DLE ETX checksum, then 0xFE.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr int kWorkBufferBytes = 700; // body, frame and reply buffers of a transaction

// Returns the frame length (without the trailer). The toggle comes from the tag's slot.
int BuildFrame(const VpiRequest *request, const uint8_t *body, int bodyLength,
               const uint8_t *route, int routeLength, uint8_t *frame);
// Appends the trailer at frame[length] and sends length + 1 bytes; 1 when all were sent.
int SendFrame(VpiContext *context, uint8_t *frame, int length);

} // namespace vpisd
