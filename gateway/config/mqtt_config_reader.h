// Reading [mqtt] and [[poll]] from the parsed TOML file; called by the configuration loader.
#pragma once

#include <toml++/toml.h>

#include <functional>
#include <string>

#include "gateway/config/config.h"

namespace vpisd::gateway {

// A problem found while reading: the line of the file, the key and what is wrong.
using ProblemSink =
    std::function<void(int64_t line, const std::string &key, const std::string &what)>;

// Reads [mqtt] and [[poll]] of `root` into `config` (whose lines are already read); relative
// paths are taken from `base`, the configuration file's folder.
void ReadMqttSections(const toml::table &root, const std::string &base, Config &config,
                      const ProblemSink &problem);

} // namespace vpisd::gateway
