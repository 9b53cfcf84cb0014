#include "gateway/config/toml_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "host/tag_layout.h"

namespace vpisd::gateway {

namespace fs = std::filesystem;

bool IsPlainTopic(std::string_view text) {
    return !text.empty() && text.find_first_of("+#") == std::string_view::npos &&
           text.front() != '/' && text.back() != '/' && text.find("//") == std::string_view::npos;
}

TomlReader::TomlReader(std::string path, std::vector<std::string> &problems)
    : path_(std::move(path)), problems_(problems) {
    base_ = fs::absolute(fs::path(path_)).parent_path().string();
}

void TomlReader::Problem(int64_t line, const std::string &key, const std::string &what) {
    problems_.push_back(path_ + ":" + std::to_string(line) + ": " + key + ": " + what);
}

void TomlReader::Missing(const toml::table &table, const std::string &where, const char *key) {
    Problem(LineOf(table), where + "." + key, "missing");
}

void TomlReader::UnknownKeys(const toml::table &table, const std::string &where,
                             std::span<const char *const> known) {
    for (auto &&[key, node] : table) {
        if (std::none_of(known.begin(), known.end(), [&](const char *k) { return key.str() == k; }))
            Problem(LineOf(node), where + "." + std::string(key.str()), "unknown key");
    }
}

std::optional<int64_t> TomlReader::Integer(const toml::table &table, const std::string &where,
                                           const char *key, int64_t low, int64_t high) {
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return std::nullopt;
    const auto value = node->value_exact<int64_t>();
    if (!value || *value < low || *value > high) {
        Problem(LineOf(*node), where + "." + key,
                "expected an integer from " + std::to_string(low) + " to " + std::to_string(high));
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> TomlReader::String(const toml::table &table, const std::string &where,
                                              const char *key) {
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return std::nullopt;
    const auto value = node->value_exact<std::string>();
    if (!value || value->empty()) {
        Problem(LineOf(*node), where + "." + key, "expected a non-empty string");
        return std::nullopt;
    }
    return value;
}

std::optional<bool> TomlReader::Boolean(const toml::table &table, const std::string &where,
                                        const char *key) {
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return std::nullopt;
    const auto value = node->value_exact<bool>();
    if (!value)
        Problem(LineOf(*node), where + "." + key, "expected true or false");
    return value;
}

std::optional<host::Endpoint> TomlReader::Endpoint(const toml::table &table,
                                                   const std::string &where, const char *key,
                                                   const host::EndpointRules &rules) {
    const auto text = String(table, where, key);
    if (!text)
        return std::nullopt;
    std::string why;
    auto endpoint = host::ParseEndpoint(*text, rules, why);
    if (!endpoint)
        Problem(LineOf(*table.get(key)), where + "." + key, why);
    return endpoint;
}

std::string TomlReader::FilePath(const std::string &name) const {
    return fs::absolute(fs::path(base_) / name).lexically_normal().string();
}

std::optional<std::string> TomlReader::ReadableFile(const toml::table &table,
                                                    const std::string &where, const char *key) {
    const auto name = String(table, where, key);
    if (!name)
        return std::nullopt;
    const std::string file = FilePath(*name);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec) || !std::ifstream(file).good())
        Problem(LineOf(*table.get(key)), where + "." + key, file + " is not a readable file");
    return file;
}

TomlReader::Target TomlReader::LineAndPlc(const toml::table &table, const std::string &where,
                                          const std::vector<LineConfig> &lines) {
    Target target;
    target.fileLine = LineOf(table);
    if (const auto name = String(table, where, "line")) {
        const auto found = std::find_if(lines.begin(), lines.end(),
                                        [&](const LineConfig &line) { return line.name == *name; });
        if (found == lines.end())
            Problem(LineOf(*table.get("line")), where + ".line",
                    "no [[line]] is named \"" + *name + "\"");
        else
            target.line = static_cast<size_t>(found - lines.begin());
    } else if (table.get("line") == nullptr) {
        Missing(table, where, "line");
    }
    const bool peerToPeer = target.line && lines[*target.line].init.empty();
    if (const auto plc = String(table, where, "plc")) {
        // The PLC name is also a topic level under MQTT.
        target.fileLine = LineOf(*table.get("plc"));
        if (plc->size() != 2 || !IsPlainTopic(*plc) || plc->find('/') != std::string::npos)
            Problem(target.fileLine, where + ".plc",
                    "expected a two-character PLC name from the init file, or \"00\"");
        else if (peerToPeer && *plc != "00")
            Problem(target.fileLine, where + ".plc",
                    "line \"" + lines[*target.line].name +
                        "\" has no init file (peer to peer): the PLC is \"00\"");
        else if (target.line) // only a PLC of a known line goes on to the driver's check
            target.plc = host::PlcName(*plc);
    } else if (table.get("plc") == nullptr) {
        if (peerToPeer)
            target.plc = "00";
        else if (target.line)
            Missing(table, where, "plc");
    }
    return target;
}

} // namespace vpisd::gateway
