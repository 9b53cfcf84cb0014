// The one reader of the gateway's TOML file: every table ([gateway], [[line]], [[unit]],
// [mqtt], [[poll]], [sparkplug], [http]) takes its values through it, so that every problem
// reads the same way, "FILE:LINE: key: what", and every table refuses unknown keys, wrong types
// and values out of range alike.
#pragma once

#include <toml++/toml.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "host/endpoint.h"

namespace vpisd::gateway {

class TomlReader {
  public:
    // `path` names the file in messages; relative file names are taken from its folder.
    TomlReader(std::string path, std::vector<std::string> &problems);
    // How many problems have been found so far.
    size_t ProblemCount() const { return problems_.size(); }

    static int64_t LineOf(const toml::node &node) { return node.source().begin.line; }
    void Problem(int64_t line, const std::string &key, const std::string &what);
    void Missing(const toml::table &table, const std::string &where, const char *key);
    void UnknownKeys(const toml::table &table, const std::string &where,
                     std::span<const char *const> known);

    // Each: nullopt when the key is absent or wrong (then a problem is reported).
    std::optional<int64_t> Integer(const toml::table &table, const std::string &where,
                                   const char *key, int64_t low, int64_t high);
    std::optional<std::string> String(const toml::table &table, const std::string &where,
                                      const char *key); // non-empty
    std::optional<bool> Boolean(const toml::table &table, const std::string &where,
                                const char *key);
    std::optional<host::Endpoint> Endpoint(const toml::table &table, const std::string &where,
                                           const char *key, const host::EndpointRules &rules);
    // The absolute path of a file named relative to the configuration's folder.
    std::string FilePath(const std::string &name) const;
    // A file the gateway must be able to read; its absolute path even when it cannot.
    std::optional<std::string> ReadableFile(const toml::table &table, const std::string &where,
                                            const char *key);

    // Where a unit or a poll group goes: "line" names a [[line]], then "plc" one PLC of that
    // line's init file ("00" and the default on a line without one: peer to peer).
    struct Target {
        std::optional<size_t> line; // index into `lines`, when found
        std::string plc;
        int64_t fileLine = 0; // of "plc", else of the table
    };
    Target LineAndPlc(const toml::table &table, const std::string &where,
                      const std::vector<LineConfig> &lines);

    // Calls `read(table, index)` for every [[name]] entry; a plain [name] is a problem.
    template <typename Read>
    void ForEachEntry(const toml::table &root, const char *name, Read read) {
        const toml::node *node = root.get(name);
        if (node == nullptr)
            return;
        const toml::array *list = node->as_array();
        if (list == nullptr || !list->is_array_of_tables()) {
            Problem(LineOf(*node), name, std::string("expected [[") + name + "]] entries");
            return;
        }
        size_t index = 0;
        for (const toml::node &entry : *list)
            read(*entry.as_table(), index++);
    }

  private:
    std::string path_;
    std::string base_; // the configuration's folder
    std::vector<std::string> &problems_;
};

// A PLC name, a line name or a topic prefix that subscribers can name without wildcards.
bool IsPlainTopic(std::string_view text);

} // namespace vpisd::gateway
