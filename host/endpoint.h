// The one reader and writer of "HOST:PORT" names: the gateway's listen address, the MQTT broker and
// the lines behind terminal servers ("tcp:HOST:PORT"). HOST is an IPv4 address, a name, or an IPv6
// address in brackets ("[::1]:502"); the brackets are what tell the port from the address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vpisd::host {

struct Endpoint {
    std::string host; // without the brackets of an IPv6 address
    uint16_t port = 0;
};

struct EndpointRules {
    std::optional<uint16_t> defaultPort; // set: the port may be left out ("broker.plant")
    bool anyPort = false;                // port 0 allowed (listen on any free port)
    const char *example = "127.0.0.1:502";
};

// nullopt with what is wrong in `why`: "expected \"HOST:PORT\", e.g. ..." or, for an IPv6
// address without brackets, the same address written with them.
std::optional<Endpoint> ParseEndpoint(std::string_view text, const EndpointRules &rules,
                                      std::string &why);

// "HOST:PORT" as the readers above take it back: an IPv6 address (a host with a colon) in
// brackets, "[::1]:502"; anything else as it is, "127.0.0.1:502", "broker.plant:1883".
std::string EndpointText(std::string_view host, uint16_t port);

// "tcp:HOST:PORT" names a line behind a terminal server; "tcp:[::1]:PORT" for IPv6.
bool IsTcpPort(std::string_view port);
// The HOST:PORT of a "tcp:" line name (port 1 to 65535, never left out).
std::optional<Endpoint> ParseTcpPort(std::string_view port, std::string &why);

} // namespace vpisd::host
