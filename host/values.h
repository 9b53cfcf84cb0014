// Between the numbers a user types or reads and the driver's value buffer of 16-bit words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vpisd::host {

// Type codes the host hands to the parse for each GAS form.
constexpr int32_t kTypeRegister = 0;
constexpr int32_t kTypePair = 3;
constexpr int32_t kTypeBit = 6; // bit tags and "!ROUTE"

constexpr int32_t kNoBit = 255;

// How a 32-bit value sits in its register pair. HighFirst: the odd (lower) register holds
// the high word, as SY/MAX keeps double registers; LowFirst: the odd register holds the low word.
enum class WordOrder { HighFirst, LowFirst };

// What the parse made of a GAS, plus the number of values.
struct TagLayout {
    int32_t slot = 0;    // route slot of the PLC, 0 peer to peer
    int32_t kind = 0;    // VPI_KIND_ROUTE, VPI_KIND_REGISTER or VPI_KIND_REGISTER_PAIR
    int32_t address = 0; // register, or pair number for kind 3000
    int32_t bit = kNoBit;
    int32_t count = 1;
};

// The GAS in upper case, as the driver compares and reports it.
std::string UpperGas(std::string_view gas);

// The type code to parse a GAS with, judged from its shape alone; the driver checks the rest.
int32_t TypeForGas(std::string_view gas);
bool IsRouteGas(std::string_view gas);

// 16-bit words the tag covers, and the size of buffer they need (a single value is element 1).
size_t WordCount(const TagLayout &tag);
size_t BufferWords(const TagLayout &tag);

// Decimal (optionally negative) or 0x-prefixed hexadecimal; nothing else, nothing trailing.
std::optional<int64_t> ParseNumber(std::string_view text);

// Fills the buffer from one number per value; on a value out of range for the tag's width,
// returns false and says why in `error`.
bool EncodeValues(const TagLayout &tag, std::span<const int64_t> values, WordOrder order,
                  std::span<uint16_t> buffer, std::string &error);
// One number per value from the buffer, read as the driver left it.
std::vector<int64_t> DecodeValues(const TagLayout &tag, std::span<const uint16_t> buffer,
                                  WordOrder order, bool asSigned);

// The GAS that names each value of the tag: consecutive registers or pairs for a block.
std::vector<std::string> ValueNames(std::string_view gas, const TagLayout &tag);

} // namespace vpisd::host
