// The [mqtt] table and the [[poll]] groups, read after [[line]] so that polls find their lines.
#pragma once

#include <toml++/toml.h>

#include "gateway/config/config.h"
#include "gateway/config/toml_reader.h"

namespace vpisd::gateway {

void ReadMqttTables(TomlReader &r, const toml::table &root, Config &config);

} // namespace vpisd::gateway
