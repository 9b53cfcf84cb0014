// The host's TagAccess and GAS as a read or write sees them: the upper-cased GAS copy,
// the "!ROUTE" pseudo-tag, and the checks that run before anything is indexed or sent.
#pragma once

#include <cstdint>

#include "driver/context.h"
#include "vpisd/vpi.h"

namespace vpisd {

constexpr int kMaxSlot = 99;
constexpr int kBitTagType = 6;
constexpr int kMaxBit = 15;
constexpr int64_t kMaxTagWords = 128; // the block limits; a 262-byte write body
// The register offset on the wire is 16 bits of bytes from register 1.
constexpr int64_t kMaxRegister = 32768;

// Copies at most copyCharacters characters of gas into copy, upper-cased and terminated.
// A longer GAS is cut. copy holds copyCharacters + 1 bytes.
void CopyGas(const char *gas, char *copy, int copyCharacters);
// 1 when the GAS copy names the route selection: "!ROUTE" after the two-character prefix.
int IsRouteTag(const char *gasCopy);

// Checks what even "!ROUTE" relies on: a GAS, a value buffer and a slot of 0 to 99.
// On failure logs the cause with the GAS at level 32 and returns 0; operation is "Read"
// or "Write".
int CheckTagRecord(const TagAccess *tag, const char *gasCopy, const char *operation);
// Checks what a register command relies on: a bit tag's bit of 0 to 15; 1 to 128 words
// (a bit write sends one whatever its count); registers from 1 whose last one still has a
// 16-bit offset. Logs and returns 0 like CheckTagRecord.
int CheckTagCommand(const TagAccess *tag, const char *gasCopy, const char *operation, bool isWrite);
// Checks that a PLC behind a route (slot 1 to 99) has one: a filled slot whose chosen route
// holds a drop. Slot 0 is reached without a route. Logs and returns 0 like CheckTagRecord.
int CheckTagRoute(const VpiContext *context, const TagAccess *tag, const char *gasCopy,
                  const char *operation);

// Words the tag covers, without truncation: count, or twice count for kind 3000.
int64_t TagWordCount(const TagAccess *tag);
// 1 when an accepted read reply body of this length holds exactly the tag's words. The
// reply check compares 16-bit counts; a larger or negative count must never be stored.
int ReadReplyFitsTag(const TagAccess *tag, int bodyLength);

} // namespace vpisd
