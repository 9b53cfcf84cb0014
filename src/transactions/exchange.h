// What one try of a read or write shares: the per-call working storage, the pause and
// fresh link before a retry, and the exchange of one frame up to the extracted reply body.
#pragma once

#include <cstdint>

#include "driver/context.h"
#include "link/frame.h"
#include "link/reply.h"
#include "routing/route_table.h"
#include "transactions/transactions.h"

namespace vpisd {

// Lives on the stack of one read or write, zero-filled at its start.
struct TransactionStorage {
    char gas[kGasCopyCharacters + 1];
    uint8_t body[kWorkBufferBytes];
    int bodyLength;
    uint8_t route[kRouteTextBytes];
    int routeLength;
    uint8_t frame[kWorkBufferBytes];
    uint8_t received[kWorkBufferBytes];
    uint8_t copy[kReplyMaxBytes]; // a received frame never exceeds kReplyMaxBytes
    uint8_t replyBody[kWorkBufferBytes];
    int replyLength;
    uint8_t errorCode;
};

// Constant traces (no conversions) a transaction logs around its frame; nullptr logs none.
struct ExchangeTraces {
    const char *sending;    // just before the frame goes out
    const char *processing; // once a whole reply frame came in
};

// The opening of a read or write: the request has its records, the GAS is copied and
// upper-cased into storage->gas, and what even "!ROUTE" relies on is checked (operation is
// "Read" or "Write"). Returns VPI_OK to go on, else the result to return.
int32_t OpenTransaction(const VpiRequest *request, TransactionStorage *storage,
                        const char *operation);

// Before tries 1 to 9: a fresh link enquiry, then DLE NAK, the pause, a purge and DLE NAK.
// Returns LINK_OK, or LINK_FAILED / LINK_STALLED (handshake.h); nothing after a failed
// enquiry is sent.
int PrepareRetry(VpiContext *context, int slot);

// ExchangeFrame's result when a write to the line ran out of time: the line does not drain,
// so the transaction ends at once as a communication failure.
constexpr int EXCHANGE_STALLED = 3;

// One try: route, frame, DLE NAK and frame out, reply in and acknowledged, frame and route
// checked, body extracted into storage->replyBody / replyLength. Returns 0 when a body is
// ready for the command's own check, 1 for a refused reply, 2 for a silent line,
// EXCHANGE_STALLED for a line that took no more bytes. readBodyBytes is the one body length
// a read accepts (0 for a write): it lets the reply be read in a few calls.
int ExchangeFrame(const VpiRequest *request, TransactionStorage *storage,
                  const ExchangeTraces &traces, int readBodyBytes);

// The message and the result of a transaction ended by a line that does not drain
// (operation is "Read" or "Write").
int32_t EndStalled(const char *operation, const TransactionStorage &storage);

} // namespace vpisd
