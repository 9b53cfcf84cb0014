#include "gateway/config/allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "host/endpoint.h"
#include <algorithm>
#include <cstring>

namespace vpisd::gateway {
namespace {

bool Matches(const AddressBlock &block, bool v6, const uint8_t *address) {
    if (block.v6 != v6)
        return false;
    const int whole = block.prefix / 8;
    if (std::memcmp(block.bytes.data(), address, static_cast<size_t>(whole)) != 0)
        return false;
    const int rest = block.prefix % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (block.bytes[static_cast<size_t>(whole)] & mask) == (address[whole] & mask);
}

} // namespace

std::optional<AddressBlock> ParseAddressBlock(std::string_view text) {
    AddressBlock block;
    const size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    if (inet_pton(AF_INET, address.c_str(), block.bytes.data()) == 1) {
        block.prefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), block.bytes.data()) == 1) {
        block.v6 = true;
        block.prefix = 128;
    } else {
        return std::nullopt;
    }
    if (slash != std::string_view::npos) {
        const std::string_view bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 ||
            !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const int prefix = std::stoi(std::string(bits));
        if (prefix > block.prefix)
            return std::nullopt;
        block.prefix = prefix;
    }
    return block;
}

std::vector<AddressBlock> LoopbackOnly() {
    return {*ParseAddressBlock("127.0.0.0/8"), *ParseAddressBlock("::1/128")};
}

bool Allowed(const std::vector<AddressBlock> &allow, const sockaddr_storage &peer) {
    bool v6 = false;
    const uint8_t *address = nullptr;
    if (peer.ss_family == AF_INET) {
        address = reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in &>(peer).sin_addr);
    } else if (peer.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
        address = in6.s6_addr;
        v6 = !IN6_IS_ADDR_V4MAPPED(&in6);
        if (!v6)
            address += 12;
    } else {
        return false;
    }
    return std::any_of(allow.begin(), allow.end(),
                       [&](const AddressBlock &block) { return Matches(block, v6, address); });
}

std::string PeerText(const sockaddr_storage &peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(peer);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        return host::EndpointText(text, ntohs(in.sin_port));
    }
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(peer);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    return host::EndpointText(text, ntohs(in6.sin6_port));
}

std::string AddressOf(const std::string &peerText) {
    return peerText.substr(0, peerText.rfind(':'));
}

} // namespace vpisd::gateway
