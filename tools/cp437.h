// The driver's banner is code page 437 text; terminals today expect UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vpisd::cli {

// Bytes below 0x80 pass through; every other byte becomes its code page 437 character.
std::string Cp437ToUtf8(std::string_view text);

} // namespace vpisd::cli
