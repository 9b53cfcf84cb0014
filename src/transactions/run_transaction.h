// The one course of a read or a write: the request's checks, the link, up to ten tries with a
// fresh link before each retry, the failure message and the route switch. A kind gives only
// what differs: its "!ROUTE" answer, its messages and how it takes an accepted reply.
#pragma once

#include <cstdint>

#include "driver/context.h"
#include "transactions/exchange.h"
#include "vpisd/vpi.h"

namespace vpisd {

struct TransactionKind {
    uint8_t command;             // READ_COMMAND or WRITE_COMMAND
    const char *operation;       // "Read" or "Write", as the checks' messages name it
    const char *failedFormat;    // event with the GAS and the result
    const char *retryLinkFormat; // event with the GAS: no fresh link before a retry
    ExchangeTraces traces;
    // "!ROUTE": the route selection read into or taken from the tag; nothing is sent.
    void (*routeTag)(VpiContext *context, const TagAccess *tag);
    // The debug trace before try number attempt (0 to 9), if the kind has one there.
    void (*traceTry)(int attempt, const char *gas);
    // The one reply body length the tag accepts, which lets a reply be read in a few calls;
    // 0 when any length may come.
    int (*replyBodyBytes)(const TagAccess *tag);
    // A reply body that passed the frame and route checks: VPI_OK once taken (a read's values
    // stored), else the try's result.
    int32_t (*takeReply)(const VpiRequest *request, TransactionStorage *storage);
};

int32_t RunTransaction(const VpiRequest *request, const TransactionKind &kind);

} // namespace vpisd
