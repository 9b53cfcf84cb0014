#include "host/file_text.h"

#include <fstream>
#include <sstream>

namespace vpisd::host {

std::optional<std::string> ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

} // namespace vpisd::host
