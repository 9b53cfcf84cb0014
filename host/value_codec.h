// One value in the PLC's 16-bit registers: its types and word orders, the numbers each takes,
// and its bits in and out of the registers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vpisd::host {

// How a 32-bit value sits in its register pair. HighFirst: the odd (lower) register holds
// the high word, as SY/MAX keeps double registers; LowFirst: the odd register holds the low word.
enum class WordOrder : uint8_t { HighFirst, LowFirst };

// How one value sits in the PLC's 16-bit registers. float32 values travel as their IEEE 754
// bits (FloatBits), so every type's value is a whole number here.
enum class ValueType : uint8_t { Uint16, Int16, Uint32, Int32, Float32, Bit };

struct ValueTypeInfo {
    ValueType type;
    std::string_view name; // as users write it
    uint8_t words;         // registers one value takes
    bool isSigned;
};
constexpr std::array<ValueTypeInfo, 6> kValueTypes = {{
    {ValueType::Uint16, "uint16", 1, false},
    {ValueType::Int16, "int16", 1, true},
    {ValueType::Uint32, "uint32", 2, false},
    {ValueType::Int32, "int32", 2, true},
    {ValueType::Float32, "float32", 2, false},
    {ValueType::Bit, "bit", 1, false},
}};
constexpr const ValueTypeInfo &InfoOf(ValueType type) {
    return kValueTypes[static_cast<size_t>(type)];
}

struct WordOrderInfo {
    WordOrder order;
    std::string_view name;
};
constexpr std::array<WordOrderInfo, 2> kWordOrders = {{
    {WordOrder::HighFirst, "high_first"},
    {WordOrder::LowFirst, "low_first"},
}};

std::optional<ValueType> ValueTypeNamed(std::string_view name);
std::optional<WordOrder> WordOrderNamed(std::string_view name);

// One value in its registers.
struct ValueFormat {
    ValueType type = ValueType::Uint16;
    WordOrder order = WordOrder::HighFirst; // 32-bit types
    uint8_t bit = 0;                        // Bit: 0 (least significant) to 15 of its register
};

// The numbers a write takes. A 16- or 32-bit value may be given signed or unsigned (the
// registers hold the same bits either way); a bit takes 0 or 1.
struct ValueRange {
    int64_t low;
    int64_t high;
    const char *what; // "16-bit register"
};
ValueRange RangeOf(ValueType type);
// False, with "70000 is out of range for a 16-bit register (-32768 to 65535)" in `error`,
// when the value is outside the range.
bool CheckRange(const ValueRange &range, int64_t value, std::string &error);

// `words`: the value's registers in register order, InfoOf(type).words of them. `value` lies
// within RangeOf(type); a bit is set or cleared in words[0], its other bits kept.
void EncodeValue(const ValueFormat &format, int64_t value, std::span<uint16_t> words);
int64_t DecodeValue(const ValueFormat &format, std::span<const uint16_t> words);

int64_t FloatBits(float value);
float FloatFromBits(int64_t bits);

// The values a type's registers stand for, as they are read: uint16 0..65535, int16
// -32768..32767, uint32 0..4294967295, int32 -2147483648..2147483647, bit 0..1; float32 the
// finite floats. A write takes RangeOf(type), which lets uint16 and uint32 take negatives too.
ValueRange ReadRangeOf(ValueType type);
// The range a write of `type` accepts, strict for the signed types: int16 -32768..32767,
// int32 -2147483648..2147483647; uint16 and uint32 as RangeOf.
ValueRange WriteRangeOf(ValueType type);

// Decimal (optionally negative) or 0x-prefixed hexadecimal; nothing else, nothing trailing.
std::optional<int64_t> ParseNumber(std::string_view text);

} // namespace vpisd::host
