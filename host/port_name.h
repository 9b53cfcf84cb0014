// Port names as the driver takes them: at most 11 characters, "/..." a path, others under /dev.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vpisd::host {

constexpr size_t kDriverPortNameMax = 11;

// The device the driver would open for this name ("NUL" stays "NUL").
std::string DevicePath(std::string_view name);
// A name of at most 11 characters that the driver resolves to the same device, if there is one.
std::optional<std::string> DriverPortName(std::string_view name);

} // namespace vpisd::host
