// A GAS (the tag text the driver parses, "P10100", "P1010003", "P10101F", "P1!ROUTE") and the
// place of its values in the driver's value buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vpisd::host {

// Type codes the host hands to the parse for each GAS form.
constexpr int32_t kTypeRegister = 0;
constexpr int32_t kTypePair = 3;
constexpr int32_t kTypeBit = 6; // bit tags and "!ROUTE"

constexpr int32_t kNoBit = 255;

// What the parse made of a GAS, plus the number of values.
struct TagLayout {
    int32_t slot = 0;    // route slot of the PLC, 0 peer to peer
    int32_t kind = 0;    // VPI_KIND_ROUTE, VPI_KIND_REGISTER or VPI_KIND_REGISTER_PAIR
    int32_t address = 0; // register, or pair number for kind 3000
    int32_t bit = kNoBit;
    int32_t count = 1;
};

// The GAS in upper case, as the driver compares and reports it: a to z only, whatever the locale.
std::string UpperGas(std::string_view gas);
// A PLC name (the first two characters of a GAS) as the driver matches it against its routes:
// upper-cased like a GAS. A name from outside (a configuration, a topic) goes through this once,
// where it enters; everything after it (read-only units, stored values, holds, writes) keys on
// the result, so "p1" and "P1" are one PLC there as they are on the line.
std::string PlcName(std::string_view name);

// The type code to parse a GAS with, judged from its shape alone; the driver checks the rest.
int32_t TypeForGas(std::string_view gas);
bool IsRouteGas(std::string_view gas);

// 16-bit words the tag covers, and the size of buffer they need (a single value is element 1).
size_t WordCount(const TagLayout &tag);
size_t BufferWords(const TagLayout &tag);
// Where the tag's values begin in its buffer: a tag of one 16-bit word (a register, a bit, the
// route) has it in element 1, anything longer starts at element 0.
size_t FirstValueWord(const TagLayout &tag);
// The tag's words in a buffer of BufferWords(tag) or more.
std::span<uint16_t> ValueWords(const TagLayout &tag, std::span<uint16_t> buffer);

// The GAS of `reg` (1..9999) of `plc`: "P10100".
std::string RegisterGas(std::string_view plc, unsigned reg);
// The GAS of bit `bit` (0, the least significant, to 15) of `reg`: bits count from 01 in a
// GAS, so bit 2 of register 100 is "P1010003".
std::string BitGas(std::string_view plc, unsigned reg, unsigned bit);
// The route pseudo-tag of `plc`: "P1!ROUTE".
std::string RouteGas(std::string_view plc);

} // namespace vpisd::host
