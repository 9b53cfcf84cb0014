#include "host/endpoint.h"

#include <charconv>

namespace vpisd::host {
namespace {

constexpr std::string_view kTcpPrefix = "tcp:";

std::optional<unsigned> PortNumber(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.size() > 5 || error != std::errc() ||
        end != text.data() + text.size() || value > 65535)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<Endpoint> ParseEndpoint(std::string_view text, const EndpointRules &rules,
                                      std::string &why) {
    why = std::string("expected \"HOST:PORT\", e.g. \"") + rules.example + "\"";
    std::string_view host;
    std::optional<std::string_view> port;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port = rest.substr(1);
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos &&
            text.find(':', colon + 1) != std::string_view::npos) {
            // Two colons: an IPv6 address, whose last group cannot be told from a port.
            const size_t last = text.rfind(':');
            const std::string_view address = text.substr(0, last);
            const std::string bracketed =
                address.empty() || address.back() == ':'
                    ? "[" + std::string(text) + "]:PORT"
                    : "[" + std::string(address) + "]:" + std::string(text.substr(last + 1));
            why = "\"" + std::string(text) + "\": an IPv6 address goes in brackets, e.g. \"" +
                  bracketed + "\"";
            return std::nullopt;
        }
        host = text.substr(0, colon);
        if (colon != std::string_view::npos)
            port = text.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("[] \t/") != std::string_view::npos)
        return std::nullopt;
    std::optional<unsigned> number;
    if (port)
        number = PortNumber(*port);
    else
        number = rules.defaultPort;
    if (!number || (*number == 0 && !rules.anyPort))
        return std::nullopt;
    return Endpoint{std::string(host), static_cast<uint16_t>(*number)};
}

std::string EndpointText(std::string_view host, uint16_t port) {
    const std::string text = host.find(':') == std::string_view::npos
                                 ? std::string(host)
                                 : "[" + std::string(host) + "]";
    return text + ":" + std::to_string(port);
}

bool IsTcpPort(std::string_view port) {
    return port.starts_with(kTcpPrefix);
}

std::optional<Endpoint> ParseTcpPort(std::string_view port, std::string &why) {
    if (!IsTcpPort(port)) {
        why = "expected \"tcp:HOST:PORT\"";
        return std::nullopt;
    }
    const auto endpoint = ParseEndpoint(port.substr(kTcpPrefix.size()),
                                        EndpointRules{std::nullopt, false, "10.0.0.5:4001"}, why);
    if (!endpoint && why.starts_with("expected"))
        why = "expected \"tcp:HOST:PORT\"";
    return endpoint;
}

} // namespace vpisd::host
