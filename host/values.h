// Between the numbers a user types or reads and the driver's value buffer of 16-bit words.
#pragma once

#include <array>
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

// published = raw * scale + offset. Identity() values are shown as they are read.
struct Scaling {
    double scale = 1.0;
    double offset = 0.0;
    bool Identity() const { return scale == 1.0 && offset == 0.0; }

    bool operator==(const Scaling &) const = default;
};

// Decimals of a number as written shortest (0.1 -> 1, 0.25 -> 2, 10 -> 0), at most 9.
int DecimalsOf(double number);

// The published number of a raw value as JSON text: an integer type with identity scaling as
// an integer, a float32 with identity scaling in its shortest round-trip form, anything else
// rounded to the decimals of scale or offset, whichever has more. nullopt for a float32 that
// is NaN or infinite.
std::optional<std::string> ScaledText(const ValueFormat &format, const Scaling &scaling,
                                      int64_t raw);
// The published number as a double (for deadbands and ranges); nullopt as ScaledText.
std::optional<double> ScaledNumber(const ValueFormat &format, const Scaling &scaling, int64_t raw);

// The raw value of a published number: (value - offset) / scale, rounded to the nearest
// integer for integer types, a float32's bits for float32. False with the reason in `error`
// when it is not finite or out of WriteRangeOf(type).
bool RawFromScaled(const ValueFormat &format, const Scaling &scaling, double value, int64_t &raw,
                   std::string &error);

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

// Decimal (optionally negative) or 0x-prefixed hexadecimal; nothing else, nothing trailing.
std::optional<int64_t> ParseNumber(std::string_view text);

// The driver's value buffer of a tag (a single value in element 1, a block from element 0),
// filled from one number per value; on a value out of range for the tag's width, returns false
// and says why in `error`.
bool EncodeValues(const TagLayout &tag, std::span<const int64_t> values, WordOrder order,
                  std::span<uint16_t> buffer, std::string &error);
// One number per value from the buffer, read as the driver left it: each value as `type`,
// which has the tag's width (Bit for a bit tag, whose value the driver leaves in bit 0).
std::vector<int64_t> DecodeValues(const TagLayout &tag, std::span<const uint16_t> buffer,
                                  ValueType type, WordOrder order);

// The GAS that names each value of the tag: consecutive registers or pairs for a block.
std::vector<std::string> ValueNames(std::string_view gas, const TagLayout &tag);

} // namespace vpisd::host
