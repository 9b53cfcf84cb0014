// Instance layer: exact-count transfers on a VPI's port. Every send purges pending input first.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr int32_t kPurgeTimeout = 5; // 50 ms windows while draining input
constexpr uint32_t kPurgeBlockBytes = 512;

// Each returns 1 on success and 0 on failure (also when no port is open).
int SendBytes(VpiContext *context, const uint8_t *buffer, uint32_t count);
int ReceiveBytes(VpiContext *context, uint8_t *buffer, uint32_t count);
// At least one and at most `most` bytes, into *got: what has come once the first is in.
int ReceiveSome(VpiContext *context, uint8_t *buffer, uint32_t most, uint32_t *got);
// Drains pending input, then puts the instance's timeout back on the port.
void PurgeInput(VpiContext *context);

} // namespace vpisd
