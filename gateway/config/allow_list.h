// Client addresses the gateway accepts, as CIDR blocks ("127.0.0.0/8", "::1/128").
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpisd::gateway {

struct AddressBlock {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{}; // IPv4 in the first 4
    int prefix = 0;                  // leading bits that must match

    bool operator==(const AddressBlock &) const = default;
};

// "a.b.c.d/n", "x::y/n", or a bare address (every bit must match).
std::optional<AddressBlock> ParseAddressBlock(std::string_view text);
// 127.0.0.0/8 and ::1/128: what an absent allow-list means.
std::vector<AddressBlock> LoopbackOnly();
// IPv4 clients of an IPv6 socket (::ffff:a.b.c.d) are matched as IPv4.
bool Allowed(const std::vector<AddressBlock> &allow, const sockaddr_storage &peer);
// "a.b.c.d:port" or "[x::y]:port".
std::string PeerText(const sockaddr_storage &peer);
// "a.b.c.d" of "a.b.c.d:port", "[x::y]" of "[x::y]:port".
std::string AddressOf(const std::string &peerText);

} // namespace vpisd::gateway
