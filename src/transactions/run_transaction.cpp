#include "transactions/run_transaction.h"

#include "driver/log.h"
#include "link/handshake.h"
#include "routing/route_table.h"
#include "transactions/body.h"
#include "transactions/tag_checks.h"

namespace vpisd {

int32_t RunTransaction(const VpiRequest *request, const TransactionKind &kind) {
    TransactionStorage storage{};
    if (const int32_t opened = OpenTransaction(request, &storage, kind.operation);
        opened != VPI_OK) {
        return opened;
    }
    VpiContext *context = request->context;
    const TagAccess *tag = static_cast<const TagAccess *>(request->data);
    const int slot = tag->slot;

    if (IsRouteTag(storage.gas) != 0) {
        kind.routeTag(context, tag);
        return VPI_OK;
    }
    if (CheckTagCommand(tag, storage.gas, kind.operation, kind.command == WRITE_COMMAND) == 0 ||
        CheckTagRoute(context, tag, storage.gas, kind.operation) == 0) {
        return VPI_REFUSED;
    }

    if (context->connected[slot] == 0) {
        const int linked = EstablishLinkToPlc(context, slot);
        if (linked == LINK_STALLED) {
            return EndStalled(kind.operation, storage);
        }
        if (linked != LINK_OK) {
            Log(LOG_EVENT, kind.failedFormat, storage.gas, VPI_COMM_FAILURE);
            return VPI_COMM_FAILURE;
        }
    }

    const int replyBodyBytes = kind.replyBodyBytes(tag);
    // Built once: every try sends the sequence byte the slot has now and the values as the
    // first try read them.
    storage.bodyLength = BuildCommand(request, storage.body, kind.command);

    int32_t result = RECEIVE_SILENT;
    for (int attempt = 0; attempt < kTransactionTries; ++attempt) {
        kind.traceTry(attempt, storage.gas);
        if (attempt > 0) {
            const int prepared = PrepareRetry(context, slot);
            if (prepared == LINK_STALLED) {
                return EndStalled(kind.operation, storage);
            }
            if (prepared != LINK_OK) {
                Log(LOG_EVENT, kind.retryLinkFormat, storage.gas);
                return VPI_COMM_FAILURE;
            }
        }
        const int exchanged = ExchangeFrame(request, &storage, kind.traces, replyBodyBytes);
        if (exchanged == EXCHANGE_STALLED) {
            return EndStalled(kind.operation, storage);
        }
        result = exchanged == RECEIVE_OK ? kind.takeReply(request, &storage) : exchanged;
        if (result == VPI_OK) {
            AdvanceSequence(context, slot);
            break;
        }
    }

    if (result != VPI_OK) {
        Log(LOG_EVENT, kind.failedFormat, storage.gas, result);
    }
    if (result == VPI_COMM_FAILURE) {
        SwitchRoute(context, slot);
    }
    return result;
}

} // namespace vpisd
