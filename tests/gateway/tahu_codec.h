// Eclipse Tahu's own Sparkplug B codec (tests/sparkplug, from npm) as the independent judge of
// what the gateway sends and the source of what a Sparkplug host would send it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vpisd::test {

// Why the codec cannot run here (node or the npm package missing), or empty.
std::string TahuMissing();
// Each payload decoded by Tahu into its JSON form ({"timestamp":..., "seq":..., "metrics":
// [{"name", "type", "value", "properties"}]}); 64-bit numbers come as decimal strings.
std::vector<nlohmann::json> TahuDecode(const std::vector<std::vector<uint8_t>> &payloads);
// Each payload, in the form Tahu's encodePayload takes, encoded by Tahu.
std::vector<std::vector<uint8_t>> TahuEncode(const std::vector<nlohmann::json> &payloads);

} // namespace vpisd::test
