#include "link/handshake.h"

#include "driver/log.h"
#include "link/bytes.h"
#include "serial/instance_io.h"
#include "serial/port.h"

namespace vpisd {

namespace {

constexpr int kEnquiryFillers = 10;

bool IsAcknowledgement(uint8_t byte) {
    return byte == TOGGLE_ODD || byte == TOGGLE_EVEN || byte == NAK;
}

// The trace shows each byte as the signed character it was read into: 0x80 prints ffffff80.
int AsTraced(uint8_t byte) {
    return static_cast<int8_t>(byte);
}

} // namespace

uint16_t ReadAckResponse(VpiContext *context, uint8_t *acknowledgement) {
    uint16_t code = 2;
    uint8_t last = 0;
    for (int i = 0; i < kAckHuntBytes; ++i) {
        uint8_t byte = 0;
        if (ReceiveBytes(context, &byte, 1) == 0) {
            Log(LOG_DEBUG, "VPISD:ReadAckResponse() failed to read char");
            break;
        }
        last = byte;
        code = 1;
        if (byte == DLE) {
            Log(LOG_DEBUG, "VPISD:ReadAckResponse() DLE char was read");
            break;
        }
    }
    if (last != DLE) {
        return code;
    }
    acknowledgement[0] = DLE;
    if (ReceiveBytes(context, acknowledgement + 1, 1) == 0) {
        Log(LOG_DEBUG, "VPISD:ReadAckResponse() failed to read char following DLE");
        return 1;
    }
    Log(LOG_DEBUG, "VPISD:ReadAckResponse() Char[0] = %x Char[1] = %x",
        AsTraced(acknowledgement[0]), AsTraced(acknowledgement[1]));
    if (!IsAcknowledgement(acknowledgement[1])) {
        return 1;
    }
    Log(LOG_DEBUG, "VPISD:ReadAckResponse() ACK received OK");
    return 0;
}

int EstablishLinkToPlc(VpiContext *context, int slot) {
    const auto index = static_cast<uint16_t>(slot);
    if (index >= kSlotCount) {
        return LINK_FAILED;
    }
    uint8_t enquiry[kEnquiryFillers + 2];
    for (int i = 0; i < kEnquiryFillers; ++i) {
        enquiry[i] = TRAILER;
    }
    enquiry[kEnquiryFillers] = DLE;
    enquiry[kEnquiryFillers + 1] = ENQ;

    const int vpi = context->vpiNumber;
    Log(LOG_EVENT, "VPISD: VPI %d Establishing link to PLC %d", vpi, static_cast<int>(index));
    bool linked = false;
    for (int attempt = 0; attempt < kLinkTries && !linked; ++attempt) {
        if (attempt > 0) {
            Log(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry %d", attempt);
            if (SendStalled(context, SendDleNak(context))) {
                return LINK_STALLED;
            }
            PortSleep(kRetryPauseMs);
            PurgeInput(context);
            if (SendStalled(context, SendDleNak(context))) {
                return LINK_STALLED;
            }
        }
        // A line that takes no bytes ends the enquiry at once: no try could reach the PLC.
        if (SendStalled(context, SendBytes(context, enquiry, sizeof enquiry))) {
            return LINK_STALLED;
        }
        uint8_t answer[2] = {0, 0};
        if (ReadAckResponse(context, answer) != 0) {
            continue;
        }
        // The PLC names the toggle it last saw; the next frame carries the other one.
        context->toggle[index] = answer[1] == TOGGLE_ODD ? TOGGLE_EVEN : TOGGLE_ODD;
        context->connected[index] = 1;
        linked = true;
    }
    if (!linked) {
        Log(LOG_EVENT, "VPISD: Failed to connect to VPI %d PLC %d", vpi, static_cast<int>(index));
        return LINK_FAILED;
    }
    Log(LOG_EVENT, "VPISD: VPI %d PLC %d connected sucessfully", vpi, static_cast<int>(index));
    return LINK_OK;
}

bool SendStalled(const VpiContext *context, int sent) {
    return sent == 0 && context != nullptr && context->port != 0;
}

int SendDleNak(VpiContext *context) {
    const uint8_t nak[2] = {DLE, NAK};
    return SendBytes(context, nak, sizeof nak);
}

int SendReplyAck(VpiContext *context, const uint8_t *reply) {
    const uint8_t ack[2] = {DLE, reply[2]};
    return SendBytes(context, ack, sizeof ack);
}

void AdvanceSequence(VpiContext *context, int slot) {
    const auto index = static_cast<uint16_t>(slot);
    if (index >= kSlotCount) {
        return;
    }
    context->toggle[index] = context->toggle[index] == TOGGLE_EVEN ? TOGGLE_ODD : TOGGLE_EVEN;
    context->sequence[index] = static_cast<uint8_t>(context->sequence[index] + 1u);
}

} // namespace vpisd
