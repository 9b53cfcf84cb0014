// Routes of drop numbers: as configured ("1+5"), and as they travel in a frame ("0105").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpisd::sim {

using Drops = std::vector<uint8_t>;

inline constexpr size_t kMaxDrops = 8;

// "1+5" -> {1, 5}. Each drop 1..255, 1 to 8 drops; throws SimError otherwise.
Drops ParseDrops(std::string_view text);
// {1, 5} -> "1+5".
std::string DropsText(const Drops &drops);
// {10, 3} -> "0A03": two upper-case hex characters per drop.
std::string RouteText(const Drops &drops);
// "0A03" -> {10, 3}; nothing for odd length, characters other than 0-9/A-F, or more than 8 drops.
std::optional<Drops> RouteDrops(std::string_view route);

} // namespace vpisd::sim
