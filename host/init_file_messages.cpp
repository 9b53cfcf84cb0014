#include "host/init_file_messages.h"

#include <algorithm>
#include <cctype>

namespace vpisd::host {
namespace {

struct Fragment {
    std::string_view text; // lower case; the driver varies the case of "Init File"
    InitFileMessage kind;
};

// First match wins. Each complaint names the init file, except the illegal character, which
// names the route line it stopped in.
constexpr Fragment kFragments[] = {
    {"init file not found", InitFileMessage::NotFound},
    {"older version init file", InitFileMessage::OlderName},
    {"in init file", InitFileMessage::Complaint},
    {"illegal character", InitFileMessage::Complaint},
};

bool ContainsIgnoringCase(std::string_view text, std::string_view lower) {
    const auto found =
        std::search(text.begin(), text.end(), lower.begin(), lower.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        });
    return found != text.end();
}

} // namespace

InitFileMessage ClassifyInitFileMessage(std::string_view message) {
    for (const Fragment &fragment : kFragments) {
        if (ContainsIgnoringCase(message, fragment.text))
            return fragment.kind;
    }
    return InitFileMessage::None;
}

} // namespace vpisd::host
