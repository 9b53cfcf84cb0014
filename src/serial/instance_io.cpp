#include "serial/instance_io.h"

#include "serial/port.h"

namespace vpisd {

int SendBytes(VpiContext *context, const uint8_t *buffer, uint32_t count) {
    if (context == nullptr || context->port == 0) {
        return 0;
    }
    PurgeInput(context);
    uint32_t written = 0;
    return PortWrite(context->port, buffer, count, &written) == PORT_OK && written == count ? 1 : 0;
}

int ReceiveBytes(VpiContext *context, uint8_t *buffer, uint32_t count) {
    if (context == nullptr || context->port == 0) {
        return 0;
    }
    uint32_t read = 0;
    return PortRead(context->port, buffer, count, &read) == PORT_OK && read == count ? 1 : 0;
}

int ReceiveSome(VpiContext *context, uint8_t *buffer, uint32_t most, uint32_t *got) {
    *got = 0;
    if (context == nullptr || context->port == 0) {
        return 0;
    }
    return PortReadSome(context->port, buffer, most, got) == PORT_OK && *got > 0 ? 1 : 0;
}

// Ends only when a 512-byte block does not fill within one 50 ms window, so input that
// keeps streaming keeps the purge reading.
void PurgeInput(VpiContext *context) {
    if (context == nullptr || context->port == 0) {
        return;
    }
    SetReadTimeout(context->port, kPurgeTimeout);
    uint8_t scratch[kPurgeBlockBytes];
    while (ReceiveBytes(context, scratch, kPurgeBlockBytes) != 0) {
    }
    SetReadTimeout(context->port, context->timeout);
}

} // namespace vpisd
