#include "driver/log.h"
#include "routing/route_table.h"
#include "transactions/body.h"
#include "transactions/run_transaction.h"
#include "transactions/transactions.h"

namespace vpisd {
namespace {

// Any value other than 0 selects the backup route and is kept as written.
void WriteRouteTag(VpiContext *context, const TagAccess *tag) {
    if (HasBackupRoute(context, tag->slot) != 0) {
        context->useBackup[tag->slot] = static_cast<int32_t>(tag->values[1]);
    }
}

void TraceWriteTry(int attempt, const char * /*gas*/) {
    Log(LOG_DEBUG, "VPISD: Write Retries = %d", attempt);
}

int AnyReplyBodyBytes(const TagAccess * /*tag*/) {
    return 0;
}

// Every refused reply counts alike here, an error reply of any code included.
int32_t TakeWriteReply(const VpiRequest *request, TransactionStorage *storage) {
    if (CheckReplyBody(request, storage->replyBody, storage->replyLength, WRITE_COMMAND,
                       &storage->errorCode) != 0) {
        Log(LOG_DEBUG, "Write completed successfully");
        return VPI_OK;
    }
    return VPI_REFUSED;
}

constexpr ExchangeTraces kWriteTraces{"VPISD: Sending 'Write' Frame",
                                      "VPISD: Processing write reply FRAME"};
constexpr char kWriteFailed[] = "VPISD: Write Failed! GAS = %s rc = %d";
constexpr char kWriteRetryLinkFailed[] = "VPISD: Establish link on Write retry Failed! GAS %s";
constexpr TransactionKind kWrite{WRITE_COMMAND,         "Write",           kWriteFailed,
                                 kWriteRetryLinkFailed, kWriteTraces,      WriteRouteTag,
                                 TraceWriteTry,         AnyReplyBodyBytes, TakeWriteReply};

} // namespace

int32_t WriteTransaction(const VpiRequest *request) {
    return RunTransaction(request, kWrite);
}

} // namespace vpisd
