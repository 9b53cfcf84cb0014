// What the driver says about its init file while it starts a VPI, sorted once for every host.
#pragma once

#include <cstdint>
#include <string_view>

namespace vpisd::host {

enum class InitFileMessage : uint8_t {
    None,      // not about the init file
    NotFound,  // no init file: the VPI runs peer to peer
    OlderName, // the routes come from the older file name vpiSD.int
    Complaint, // loading stopped at a line, or a line or one of its routes was left out
};

InitFileMessage ClassifyInitFileMessage(std::string_view message);

} // namespace vpisd::host
