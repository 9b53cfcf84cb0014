#include "driver/log.h"
#include "link/handshake.h"
#include "routing/route_table.h"
#include "transactions/body.h"
#include "transactions/exchange.h"
#include "transactions/tag_checks.h"
#include "transactions/transactions.h"

namespace vpisd {
namespace {

// The PLC's "no answer" error code: counted as a communication failure when it ends a read.
constexpr uint8_t kErrorNoAnswer = 0x11;

} // namespace

int32_t ReadTransaction(const VpiRequest *request) {
    TransactionStorage storage{};
    if (const int32_t opened = OpenTransaction(request, &storage, "Read"); opened != VPI_OK) {
        return opened;
    }
    VpiContext *context = request->context;
    const TagAccess *tag = static_cast<const TagAccess *>(request->data);
    int32_t result = RECEIVE_SILENT;
    const int slot = tag->slot;

    if (IsRouteTag(storage.gas) != 0) {
        tag->values[1] = static_cast<uint16_t>(context->useBackup[slot] & 0xFFFF);
        return VPI_OK;
    }
    if (CheckTagCommand(tag, storage.gas, "Read", false) == 0 ||
        CheckTagRoute(context, tag, storage.gas, "Read") == 0) {
        return VPI_REFUSED;
    }

    if (context->connected[slot] == 0) {
        const int linked = EstablishLinkToPlc(context, slot);
        if (linked == LINK_STALLED) {
            return EndStalled("Read", storage);
        }
        if (linked != LINK_OK) {
            Log(LOG_EVENT, "VPISD: Read Failed! GAS = %s rc = %d", storage.gas, VPI_COMM_FAILURE);
            return VPI_COMM_FAILURE;
        }
    }

    // The one body length a reply can be accepted with, when it fits a frame.
    const int64_t words = TagWordCount(tag);
    const int readBodyBytes =
        words >= 1 && 2 * words + 4 <= kReplyMaxBytes ? static_cast<int>(2 * words + 4) : 0;

    // Built once: every try sends the sequence byte the slot has now.
    storage.bodyLength = BuildCommand(request, storage.body, READ_COMMAND);

    for (int attempt = 0; attempt < kTransactionTries; ++attempt) {
        if (attempt > 0) {
            Log(LOG_DEBUG, "VPISD: Read Retries = %d GAS=%s", attempt, storage.gas);
            const int prepared = PrepareRetry(context, slot);
            if (prepared == LINK_STALLED) {
                return EndStalled("Read", storage);
            }
            if (prepared != LINK_OK) {
                Log(LOG_EVENT, "VPISD: Establish link on Read retry Failed! GAS %s", storage.gas);
                return VPI_COMM_FAILURE;
            }
        }
        result = ExchangeFrame(request, &storage, ExchangeTraces{nullptr, nullptr}, readBodyBytes);
        if (result == EXCHANGE_STALLED) {
            return EndStalled("Read", storage);
        }
        if (result != RECEIVE_OK) {
            continue;
        }
        if (CheckReplyBody(request, storage.replyBody, storage.replyLength, READ_COMMAND,
                           &storage.errorCode) != 0 &&
            ReadReplyFitsTag(tag, storage.replyLength) != 0) {
            AdvanceSequence(context, slot);
            StoreReadValues(storage.replyBody, storage.replyLength, tag);
            result = VPI_OK;
            break;
        }
        result = storage.errorCode == kErrorNoAnswer ? VPI_COMM_FAILURE : VPI_REFUSED;
    }

    if (result != VPI_OK) {
        Log(LOG_EVENT, "VPISD: Read Failed! GAS = %s rc = %d", storage.gas, result);
    }
    if (result == VPI_COMM_FAILURE) {
        SwitchRoute(context, slot);
    }
    return result;
}

} // namespace vpisd
