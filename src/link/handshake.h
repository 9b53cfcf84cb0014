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
// Results of EstablishLinkToPlc.
constexpr int LINK_FAILED = 0;  // no acknowledgement after 20 tries
constexpr int LINK_OK = 1;      // the PLC answered the enquiry and the slot is linked
constexpr int LINK_STALLED = 2; // a write ran out of time: the line does not drain

int EstablishLinkToPlc(VpiContext *context, int slot);
// True for a send (result of SendBytes and the senders below) that failed on an open port:
// the line took too few bytes in the time allowed. Without a port nothing is stalled.
bool SendStalled(const VpiContext *context, int sent);
// Each returns 1 when the line took the bytes, 0 when the write failed or ran out of time.
int SendDleNak(VpiContext *context);
// DLE and the stored reply frame's own toggle byte (reply[2]).
int SendReplyAck(VpiContext *context, const uint8_t *reply);
void AdvanceSequence(VpiContext *context, int slot);

} // namespace vpisd
