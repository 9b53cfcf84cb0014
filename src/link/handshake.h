// Link enquiry, acknowledgements and the per-slot toggle and sequence.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr int kLinkTries = 20;
constexpr int kAckHuntBytes = 20;
constexpr uint32_t kRetryPauseMs = 100;

// 0: DLE then 0x11, 0x12 or 0x15; 2: not a byte arrived; 1 otherwise.
uint16_t ReadAckResponse(VpiContext *context, uint8_t *acknowledgement);
// 1 when the PLC answered the enquiry and the slot is linked; 0 after 20 tries.
int EstablishLinkToPlc(VpiContext *context, int slot);
void SendDleNak(VpiContext *context);
// DLE and the stored reply frame's own toggle byte (reply[2]).
void SendReplyAck(VpiContext *context, const uint8_t *reply);
void AdvanceSequence(VpiContext *context, int slot);

} // namespace vpisd
