// A value as a command carries it, typed as its sender's encoding typed it (a JSON true, 12 or
// 2.5; a Sparkplug metric's boolean, integer, real or string field), and how a log line shows
// it. RawFromValue (write_command.h) makes it the raw value a write sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace vpisd::gateway {

using TypedValue = std::variant<bool, int64_t, double, std::string>;

// How much of a name or value from outside a log line or a reason shows.
constexpr size_t kShownChars = 200;
// At most `limit` characters of `text`, "..." after one that was cut.
std::string Cut(std::string_view text, size_t limit = kShownChars);
// The value as a log line shows it: true, -3, 30.2, "text" (cut).
std::string Shown(const TypedValue &value);

} // namespace vpisd::gateway
