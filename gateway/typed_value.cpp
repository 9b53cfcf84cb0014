#include "gateway/typed_value.h"

#include <nlohmann/json.hpp>

namespace vpisd::gateway {
std::string Cut(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    return std::string(text.substr(0, limit)) + "...";
}

std::string Shown(const TypedValue &value) {
    if (const bool *boolean = std::get_if<bool>(&value))
        return *boolean ? "true" : "false";
    if (const int64_t *integer = std::get_if<int64_t>(&value))
        return std::to_string(*integer);
    if (const double *real = std::get_if<double>(&value))
        return nlohmann::json(*real).dump();
    return "\"" + Cut(std::get<std::string>(value)) + "\"";
}

} // namespace vpisd::gateway
