#include "driver/command_table.h"

#include "driver/describe.h"
#include "driver/lifecycle.h"
#include "tags/parser.h"
#include "transactions/transactions.h"

namespace vpisd {
namespace {

// Codes 5, 7 and 11 reach their pair's routine through these forwarding entries.
int32_t VpiRead(const VpiRequest *request) { return ReadTransaction(request); }
int32_t VpiReadForward(const VpiRequest *request) { return VpiRead(request); }
int32_t VpiWrite(const VpiRequest *request) { return WriteTransaction(request); }
int32_t VpiWriteForward(const VpiRequest *request) { return VpiWrite(request); }
int32_t VpiCloseForward(const VpiRequest *request) { return VpiClose(request); }
int32_t VpiSingleParse(const VpiRequest *request) { return SingleParse(request); }
int32_t VpiBlockParse(const VpiRequest *request) { return BlockParse(request); }

} // namespace

const CommandRoutine kCommandTable[kCommandTableSize] = {
    VpiStart,        // 1
    VpiWarmStart,    // 2
    VpiSingleParse,  // 3
    VpiBlockParse,   // 4
    VpiReadForward,  // 5
    VpiRead,         // 6
    VpiWriteForward, // 7
    nullptr,         // 8
    nullptr,         // 9
    VpiWrite,        // 10
    VpiCloseForward, // 11
    VpiClose,        // 12
    VpiOpen,         // 13
    VpiDescribe,     // 14
    VpiReopen,       // 15
    nullptr,         // 16
};

int32_t DispatchCommand(const VpiRequest *request) {
    if (request == nullptr) {
        return VPI_BAD_REQUEST;
    }
    const int32_t code = request->command;
    if (code < 1 || code > kCommandTableSize) {
        return VPI_BAD_REQUEST;
    }
    const CommandRoutine routine = kCommandTable[code - 1];
    return routine != nullptr ? routine(request) : VPI_BAD_REQUEST;
}

} // namespace vpisd
