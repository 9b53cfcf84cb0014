#include "gateway/log.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "host/console.h"

namespace vpisd::gateway {
namespace {

struct LevelName {
    const char *name;
    int priority; // syslog
};
constexpr LevelName kLevels[] = {
    {"error", 3}, {"warning", 4}, {"notice", 5}, {"info", 6}, {"debug", 7}};

std::atomic<Level> shown{Level::Info};

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

std::optional<Level> LevelNamed(const std::string &name) {
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (name == kLevels[i].name)
            return static_cast<Level>(i);
    }
    return std::nullopt;
}

void SetLogLevel(Level most) {
    shown = most;
}

void Log(Level level, const std::string &line, const std::string &text) {
    if (level > shown)
        return;
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    const LevelName &name = kLevels[static_cast<int>(level)];
    std::string out = journal ? "<" + std::to_string(name.priority) + ">" : host::TimeOfDay() + " ";
    out += name.name;
    if (!line.empty())
        out += " [" + EscapeControls(line) + "]";
    out += " " + EscapeControls(text);
    host::ConsoleLine(out);
}

std::string EscapeControls(const std::string &text) {
    if (std::none_of(text.begin(), text.end(), IsControl))
        return text;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (!IsControl(c)) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    return out;
}

} // namespace vpisd::gateway
