#include "driver/log.h"
#include "link/handshake.h"
#include "routing/route_table.h"
#include "transactions/body.h"
#include "transactions/exchange.h"
#include "transactions/tag_checks.h"
#include "transactions/transactions.h"

namespace vpisd {

int32_t WriteTransaction(const VpiRequest *request) {
    TransactionStorage storage{};
    if (const int32_t opened = OpenTransaction(request, &storage, "Write"); opened != VPI_OK) {
        return opened;
    }
    VpiContext *context = request->context;
    const TagAccess *tag = static_cast<const TagAccess *>(request->data);
    int32_t result = RECEIVE_SILENT;
    const int slot = tag->slot;

    // Any value other than 0 selects the backup route and is kept as written.
    if (IsRouteTag(storage.gas) != 0) {
        if (HasBackupRoute(context, slot) != 0) {
            context->useBackup[slot] = static_cast<int32_t>(tag->values[1]);
        }
        return VPI_OK;
    }
    if (CheckTagCommand(tag, storage.gas, "Write", true) == 0 ||
        CheckTagRoute(context, tag, storage.gas, "Write") == 0) {
        return VPI_REFUSED;
    }

    if (context->connected[slot] == 0) {
        const int linked = EstablishLinkToPlc(context, slot);
        if (linked == LINK_STALLED) {
            return EndStalled("Write", storage);
        }
        if (linked != LINK_OK) {
            Log(LOG_EVENT, "VPISD: Write Failed! GAS = %s rc = %d", storage.gas, VPI_COMM_FAILURE);
            return VPI_COMM_FAILURE;
        }
    }

    // The values are read once, here; a retry sends exactly what the first try sent.
    storage.bodyLength = BuildCommand(request, storage.body, WRITE_COMMAND);

    const ExchangeTraces traces{"VPISD: Sending 'Write' Frame",
                                "VPISD: Processing write reply FRAME"};
    for (int attempt = 0; attempt < kTransactionTries; ++attempt) {
        Log(LOG_DEBUG, "VPISD: Write Retries = %d", attempt);
        const int prepared = attempt > 0 ? PrepareRetry(context, slot) : LINK_OK;
        if (prepared == LINK_STALLED) {
            return EndStalled("Write", storage);
        }
        if (prepared != LINK_OK) {
            Log(LOG_EVENT, "VPISD: Establish link on Write retry Failed! GAS %s", storage.gas);
            return VPI_COMM_FAILURE;
        }
        result = ExchangeFrame(request, &storage, traces, 0);
        if (result == EXCHANGE_STALLED) {
            return EndStalled("Write", storage);
        }
        if (result != RECEIVE_OK) {
            continue;
        }
        // Every refused reply counts alike here, an error reply of any code included.
        if (CheckReplyBody(request, storage.replyBody, storage.replyLength, WRITE_COMMAND,
                           &storage.errorCode) != 0) {
            Log(LOG_DEBUG, "Write completed successfully");
            AdvanceSequence(context, slot);
            result = VPI_OK;
            break;
        }
        result = VPI_REFUSED;
    }

    if (result != VPI_OK) {
        Log(LOG_EVENT, "VPISD: Write Failed! GAS = %s rc = %d", storage.gas, result);
    }
    if (result == VPI_COMM_FAILURE) {
        SwitchRoute(context, slot);
    }
    return result;
}

} // namespace vpisd
