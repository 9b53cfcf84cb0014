#include "route.h"

#include "error.h"

#include <cstdio>

namespace vpisd::sim {

Drops ParseDrops(std::string_view text) {
    Drops drops;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t plus = text.find('+', start);
        const std::string_view item = text.substr(
            start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        if (item.empty() || item.size() > 3 || item.find_first_not_of("0123456789") != item.npos) {
            throw SimError("bad drop \"" + std::string(item) + "\" in route \"" +
                           std::string(text) + "\"");
        }
        const unsigned value = static_cast<unsigned>(std::stoul(std::string(item)));
        if (value < 1 || value > 255) {
            throw SimError("drop " + std::string(item) + " outside 1..255");
        }
        drops.push_back(static_cast<uint8_t>(value));
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    if (drops.size() > kMaxDrops) {
        throw SimError("route \"" + std::string(text) + "\" has more than 8 drops");
    }
    return drops;
}

std::string DropsText(const Drops &drops) {
    std::string out;
    for (uint8_t d : drops) {
        if (!out.empty())
            out += '+';
        out += std::to_string(d);
    }
    return out;
}

std::string RouteText(const Drops &drops) {
    std::string out;
    char pair[3];
    for (uint8_t d : drops) {
        std::snprintf(pair, sizeof pair, "%02X", d);
        out += pair;
    }
    return out;
}

std::optional<Drops> RouteDrops(std::string_view route) {
    if (route.size() % 2 != 0 || route.size() > 2 * kMaxDrops)
        return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    Drops drops;
    for (size_t i = 0; i < route.size(); i += 2) {
        const int high = digit(route[i]);
        const int low = digit(route[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        drops.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return drops;
}

} // namespace vpisd::sim
