// Between a value's raw number and the number published for it: scale, offset, decimals.
#pragma once

#include <optional>
#include <string>

#include "host/value_codec.h"

namespace vpisd::host {

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

} // namespace vpisd::host
