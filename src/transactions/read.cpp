#include "driver/log.h"
#include "transactions/body.h"
#include "transactions/run_transaction.h"
#include "transactions/tag_checks.h"
#include "transactions/transactions.h"

namespace vpisd {
namespace {

// The PLC's "no answer" error code: counted as a communication failure when it ends a read.
constexpr uint8_t kErrorNoAnswer = 0x11;

void ReadRouteTag(VpiContext *context, const TagAccess *tag) {
    tag->values[1] = static_cast<uint16_t>(context->useBackup[tag->slot] & 0xFFFF);
}

// The first try has no trace of its own: a read's trace counts its retries.
void TraceReadTry(int attempt, const char *gas) {
    if (attempt > 0) {
        Log(LOG_DEBUG, "VPISD: Read Retries = %d GAS=%s", attempt, gas);
    }
}

// The one body length a reply can be accepted with, when it fits a frame.
int ReadReplyBodyBytes(const TagAccess *tag) {
    const int64_t words = TagWordCount(tag);
    return words >= 1 && 2 * words + 4 <= kReplyMaxBytes ? static_cast<int>(2 * words + 4) : 0;
}

int32_t TakeReadReply(const VpiRequest *request, TransactionStorage *storage) {
    const TagAccess *tag = static_cast<const TagAccess *>(request->data);
    if (CheckReplyBody(request, storage->replyBody, storage->replyLength, READ_COMMAND,
                       &storage->errorCode) != 0 &&
        ReadReplyFitsTag(tag, storage->replyLength) != 0) {
        StoreReadValues(storage->replyBody, storage->replyLength, tag);
        return VPI_OK;
    }
    return storage->errorCode == kErrorNoAnswer ? VPI_COMM_FAILURE : VPI_REFUSED;
}

constexpr char kReadFailed[] = "VPISD: Read Failed! GAS = %s rc = %d";
constexpr char kReadRetryLinkFailed[] = "VPISD: Establish link on Read retry Failed! GAS %s";
constexpr TransactionKind kRead{READ_COMMAND,     "Read",       kReadFailed,  kReadRetryLinkFailed,
                                ExchangeTraces{}, ReadRouteTag, TraceReadTry, ReadReplyBodyBytes,
                                TakeReadReply};

} // namespace

int32_t ReadTransaction(const VpiRequest *request) {
    return RunTransaction(request, kRead);
}

} // namespace vpisd
