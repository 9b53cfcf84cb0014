// A value as a command carries it, typed as its sender's encoding typed it (a JSON true, 12 or
// 2.5; a Sparkplug metric's boolean, integer, real or string field), and the one rule that
// makes it the raw value a write sends, whichever face the command came in by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "host/scaling.h"
#include "host/value_codec.h"

namespace vpisd::gateway {

using TypedValue = std::variant<bool, int64_t, double, std::string>;

struct WriteValue {
    std::optional<int64_t> raw; // set: the raw value to write (a float32's bits)
    std::string reason;         // unset: why the value is refused
};

// `value` in published units, converted back through `scaling` and checked against the
// format's range: a boolean for a bit only; an integer or a real number for any type (integer
// types round to the nearest, a bit takes 0 or 1 and no fraction); text when it holds true,
// false or a number (decimal, 0x hexadecimal, or with a fraction or exponent).
WriteValue ToRaw(const TypedValue &value, const host::ValueFormat &format,
                 const host::Scaling &scaling = {});

// How much of a name or value from outside a log line or a reason shows.
constexpr size_t kShownChars = 200;
// At most `limit` characters of `text`, "..." after one that was cut.
std::string Cut(std::string_view text, size_t limit = kShownChars);
// The value as a log line shows it: true, -3, 30.2, "text" (cut).
std::string Shown(const TypedValue &value);

} // namespace vpisd::gateway
