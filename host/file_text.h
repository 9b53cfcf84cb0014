// A whole file read into memory as it is (bytes unchanged): init files, configurations.
#pragma once

#include <optional>
#include <string>

namespace vpisd::host {

// nullopt when the file cannot be opened.
std::optional<std::string> ReadWholeFile(const std::string &path);

} // namespace vpisd::host
