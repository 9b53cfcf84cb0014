#include "transactions/exchange.h"

#include "driver/log.h"
#include "link/handshake.h"
#include "serial/instance_io.h"
#include "serial/port.h"
#include "transactions/body.h"
#include "transactions/tag_checks.h"

namespace vpisd {

static_assert(kReplyMaxBytes <= kWorkBufferBytes, "a reply frame must fit the receive buffer");

int32_t OpenTransaction(const VpiRequest *request, TransactionStorage *storage,
                        const char *operation) {
    if (request == nullptr || request->context == nullptr || request->data == nullptr) {
        return VPI_BAD_REQUEST;
    }
    const auto *tag = static_cast<const TagAccess *>(request->data);
    if (tag->gas != nullptr) {
        CopyGas(tag->gas, storage->gas, kGasCopyCharacters);
    }
    return CheckTagRecord(tag, storage->gas, operation) != 0 ? VPI_OK : VPI_REFUSED;
}

int PrepareRetry(VpiContext *context, int slot) {
    if (const int linked = EstablishLinkToPlc(context, slot); linked != LINK_OK) {
        return linked;
    }
    if (SendStalled(context, SendDleNak(context))) {
        return LINK_STALLED;
    }
    PortSleep(kRetryPauseMs);
    PurgeInput(context);
    return SendStalled(context, SendDleNak(context)) ? LINK_STALLED : LINK_OK;
}

int32_t EndStalled(const char *operation, const TransactionStorage &storage) {
    Log(LOG_EVENT, "VPISD: %s Failed! GAS = %s rc = %d: the line took no more bytes", operation,
        storage.gas, VPI_COMM_FAILURE);
    return VPI_COMM_FAILURE;
}

int ExchangeFrame(const VpiRequest *request, TransactionStorage *storage,
                  const ExchangeTraces &traces, int readBodyBytes) {
    VpiContext *context = request->context;
    const int slot = static_cast<const TagAccess *>(request->data)->slot;

    // The directly connected PLC (slot 0) is reached without route bytes.
    storage->routeLength = slot == 0 ? 0 : EncodeRoute(context, storage->route, slot);
    const int frameLength = BuildFrame(request, storage->body, storage->bodyLength, storage->route,
                                       storage->routeLength, storage->frame);

    if (SendStalled(context, SendDleNak(context))) {
        return EXCHANGE_STALLED;
    }
    if (traces.sending != nullptr) {
        Log(LOG_DEBUG, traces.sending);
    }
    if (SendStalled(context, SendFrame(context, storage->frame, frameLength))) {
        return EXCHANGE_STALLED;
    }

    int receivedLength = 0;
    const ReplyShape shape{storage->routeLength, READ_REPLY, readBodyBytes};
    const int received = ReceiveReply(context, storage->received, &receivedLength, shape);
    if (received != RECEIVE_OK) {
        return received;
    }
    if (traces.processing != nullptr) {
        Log(LOG_DEBUG, traces.processing);
    }
    // Every whole frame is acknowledged before it is looked at, also one that fails below.
    if (SendStalled(context, SendReplyAck(context, storage->received))) {
        return EXCHANGE_STALLED;
    }

    if (CheckReplyFrame(storage->received, receivedLength, storage->routeLength) == 0) {
        return RECEIVE_REFUSED;
    }
    const int copyLength = CopyReply(storage->received, storage->copy, receivedLength);
    if (CheckReplyRoute(storage->copy, copyLength, storage->route, storage->routeLength) == 0) {
        return RECEIVE_REFUSED;
    }
    storage->replyLength =
        ExtractReplyData(storage->copy, copyLength, storage->replyBody, storage->routeLength);
    return RECEIVE_OK;
}

} // namespace vpisd
