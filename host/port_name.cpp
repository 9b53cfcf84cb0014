#include "host/port_name.h"

namespace vpisd::host {

std::string DevicePath(std::string_view name) {
    if (name == "NUL" || name.starts_with('/'))
        return std::string(name);
    return "/dev/" + std::string(name);
}

std::optional<std::string> DriverPortName(std::string_view name) {
    if (name.empty())
        return std::nullopt;
    if (name.size() <= kDriverPortNameMax)
        return std::string(name);
    constexpr std::string_view kDev = "/dev/";
    if (name.starts_with(kDev)) {
        const std::string_view rest = name.substr(kDev.size());
        if (!rest.empty() && !rest.starts_with('/') && rest.size() <= kDriverPortNameMax) {
            return std::string(rest);
        }
    }
    return std::nullopt;
}

} // namespace vpisd::host
