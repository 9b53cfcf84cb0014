// The numbers of one command's tag in and out of the driver's value buffer, and the GAS that
// names each of them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/tag_layout.h"
#include "host/value_codec.h"

namespace vpisd::cli {

using host::TagLayout;
using host::ValueType;
using host::WordOrder;

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

} // namespace vpisd::cli
