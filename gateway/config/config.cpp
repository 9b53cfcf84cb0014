#include "gateway/config/config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <filesystem>
#include <span>

#include "gateway/config/mqtt_config_reader.h"
#include "host/port_name.h"
#include "host/tcp_line.h"

namespace vpisd::gateway {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMaxClientsLimit = 1024;
constexpr int64_t kQueueDepthLimit = 1024;
constexpr int64_t kVpiLimit = 9999;   // as vpisd-cli takes it
constexpr int64_t kBaudLimit = 65535; // the driver keeps the rate in 16 bits
constexpr int64_t kTimeoutMinMs = 10; // the driver counts in 10 ms steps
constexpr int64_t kTimeoutMaxMs = 600000;
constexpr int64_t kUnitFirst = 1; // Modbus unit identifiers a gateway may serve
constexpr int64_t kUnitLast = 247;
constexpr int64_t kMergeGapLimit = 127; // a block read holds 128 registers at most
constexpr int64_t kHoldAgeLimitMs = 3600000;

constexpr const char *kServerKeys[] = {"listen", "max_clients", "allow", "read_only"};
constexpr const char *kLineKeys[] = {"name",   "port", "vpi",        "init",  "baud",     "data",
                                     "parity", "stop", "timeout_ms", "queue", "merge_gap"};
constexpr const char *kUnitKeys[] = {"id",        "line",       "plc",
                                     "read_only", "max_age_ms", "refused_hold_ms"};

struct ParityName {
    const char *name;
    uint16_t code;
};
constexpr ParityName kParities[] = {
    {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};

class Reader {
  public:
    Reader(std::string path, std::vector<std::string> &problems)
        : path_(std::move(path)), problems_(problems) {}

    void Problem(int64_t line, const std::string &key, const std::string &what) {
        problems_.push_back(path_ + ":" + std::to_string(line) + ": " + key + ": " + what);
    }

    static int64_t LineOf(const toml::node &node) { return node.source().begin.line; }

    void UnknownKeys(const toml::table &table, const std::string &where,
                     std::span<const char *const> known) {
        for (auto &&[key, node] : table) {
            const bool ok = std::any_of(known.begin(), known.end(),
                                        [&](const char *k) { return key.str() == k; });
            if (!ok)
                Problem(LineOf(node), where + "." + std::string(key.str()), "unknown key");
        }
    }

    std::optional<int64_t> Integer(const toml::table &table, const std::string &where,
                                   const char *key, int64_t low, int64_t high) {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            return std::nullopt;
        const auto value = node->value_exact<int64_t>();
        if (!value || *value < low || *value > high) {
            Problem(LineOf(*node), where + "." + key,
                    "expected an integer from " + std::to_string(low) + " to " +
                        std::to_string(high));
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string> String(const toml::table &table, const std::string &where,
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

    std::optional<bool> Boolean(const toml::table &table, const std::string &where,
                                const char *key) {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            return std::nullopt;
        const auto value = node->value_exact<bool>();
        if (!value)
            Problem(LineOf(*node), where + "." + key, "expected true or false");
        return value;
    }

    void Missing(const toml::table &table, const std::string &where, const char *key) {
        Problem(LineOf(table), where + "." + key, "missing");
    }

    const std::string &path() const { return path_; }

  private:
    std::string path_;
    std::vector<std::string> &problems_;
};

void ReadServer(Reader &r, const toml::table &table, ServerConfig &server) {
    const std::string where = "gateway";
    r.UnknownKeys(table, where, kServerKeys);
    if (const auto listen = r.String(table, where, "listen")) {
        // host:port, [v6]:port
        const size_t colon = listen->rfind(':');
        std::string host = colon == std::string::npos ? "" : listen->substr(0, colon);
        const std::string port = colon == std::string::npos ? "" : listen->substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        const bool numeric =
            !port.empty() && port.size() <= 5 &&
            std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (host.empty() || !numeric || std::stol(port) > 65535) {
            r.Problem(Reader::LineOf(*table.get("listen")), where + ".listen",
                      "expected \"HOST:PORT\", e.g. \"127.0.0.1:5020\"");
        } else {
            server.listenHost = host;
            server.listenPort = static_cast<uint16_t>(std::stol(port));
        }
    }
    if (const auto clients = r.Integer(table, where, "max_clients", 1, kMaxClientsLimit))
        server.maxClients = static_cast<int>(*clients);
    if (const toml::node *allow = table.get("allow")) {
        const toml::array *list = allow->as_array();
        if (list == nullptr) {
            r.Problem(Reader::LineOf(*allow), where + ".allow",
                      "expected a list of addresses, e.g. [\"127.0.0.0/8\"]");
        } else {
            server.allow.clear();
            for (const toml::node &entry : *list) {
                const auto text = entry.value_exact<std::string>();
                const auto block = text ? ParseAddressBlock(*text) : std::nullopt;
                if (!block) {
                    r.Problem(Reader::LineOf(entry), where + ".allow",
                              "expected an address or CIDR block, e.g. \"192.168.1.0/24\"");
                    continue;
                }
                server.allow.push_back(*block);
            }
        }
    }
    if (const auto readOnly = r.Boolean(table, where, "read_only"))
        server.readOnly = *readOnly;
}

std::optional<uint16_t> ReadStopBits(Reader &r, const toml::table &table,
                                     const std::string &where) {
    const toml::node *node = table.get("stop");
    if (node == nullptr)
        return std::nullopt;
    std::string text;
    if (const auto whole = node->value_exact<int64_t>())
        text = std::to_string(*whole);
    else if (const auto real = node->value_exact<double>())
        text = *real == 1.5 ? "1.5" : "?";
    else if (const auto s = node->value_exact<std::string>())
        text = *s;
    if (text == "1")
        return uint16_t{0};
    if (text == "1.5")
        return uint16_t{1};
    if (text == "2")
        return uint16_t{2};
    r.Problem(Reader::LineOf(*node), where + ".stop", "expected 1, 1.5 or 2");
    return std::nullopt;
}

void ReadLine(Reader &r, const toml::table &table, size_t index, const fs::path &base,
              LineConfig &line) {
    const std::string where = "line[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kLineKeys);
    line.fileLine = Reader::LineOf(table);
    if (const auto name = r.String(table, where, "name"))
        line.name = *name;
    else if (table.get("name") == nullptr)
        r.Missing(table, where, "name");
    if (const auto port = r.String(table, where, "port")) {
        line.port = *port;
        std::string host;
        std::string service;
        if (host::IsTcpPort(*port)) {
            if (!host::ParseTcpPort(*port, host, service))
                r.Problem(Reader::LineOf(*table.get("port")), where + ".port",
                          "expected \"tcp:HOST:PORT\"");
        } else if (!host::DriverPortName(*port)) {
            r.Problem(Reader::LineOf(*table.get("port")), where + ".port",
                      "\"" + *port +
                          "\" is longer than the driver's 11 characters (give a name under /dev, "
                          "a short path, or tcp:HOST:PORT)");
        }
    } else if (table.get("port") == nullptr) {
        r.Missing(table, where, "port");
    }
    if (const auto vpi = r.Integer(table, where, "vpi", 0, kVpiLimit))
        line.vpi = static_cast<int32_t>(*vpi);
    else if (table.get("vpi") == nullptr)
        r.Missing(table, where, "vpi");
    if (const auto init = r.String(table, where, "init")) {
        const fs::path file = fs::absolute(base / *init).lexically_normal();
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            r.Problem(Reader::LineOf(*table.get("init")), where + ".init",
                      "init file " + file.string() + " not found");
        line.init = file.string();
    }
    if (const auto baud = r.Integer(table, where, "baud", 1, kBaudLimit))
        line.baud = static_cast<uint16_t>(*baud);
    if (const auto data = r.Integer(table, where, "data", 5, 8))
        line.dataBits = static_cast<uint16_t>(*data);
    if (const toml::node *node = table.get("parity")) {
        const auto text = node->value_exact<std::string>();
        const auto *found =
            std::find_if(std::begin(kParities), std::end(kParities),
                         [&](const ParityName &p) { return text && *text == p.name; });
        if (found == std::end(kParities))
            r.Problem(Reader::LineOf(*node), where + ".parity",
                      "expected \"none\", \"odd\", \"even\", \"mark\" or \"space\"");
        else
            line.parity = found->code;
    }
    line.stopBits = ReadStopBits(r, table, where);
    if (const auto timeout = r.Integer(table, where, "timeout_ms", kTimeoutMinMs, kTimeoutMaxMs))
        line.timeoutMs = static_cast<int32_t>(*timeout);
    if (const auto queue = r.Integer(table, where, "queue", 1, kQueueDepthLimit))
        line.queueDepth = static_cast<size_t>(*queue);
    if (const auto gap = r.Integer(table, where, "merge_gap", 0, kMergeGapLimit))
        line.mergeGap = static_cast<uint16_t>(*gap);
}

void ReadUnit(Reader &r, const toml::table &table, size_t index, const Config &config,
              UnitConfig &unit) {
    const std::string where = "unit[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kUnitKeys);
    unit.fileLine = Reader::LineOf(table);
    if (const auto id = r.Integer(table, where, "id", kUnitFirst, kUnitLast))
        unit.id = static_cast<uint8_t>(*id);
    else if (table.get("id") == nullptr)
        r.Missing(table, where, "id");
    std::optional<size_t> lineIndex;
    if (const auto name = r.String(table, where, "line")) {
        const auto found = std::find_if(config.lines.begin(), config.lines.end(),
                                        [&](const LineConfig &line) { return line.name == *name; });
        if (found == config.lines.end())
            r.Problem(Reader::LineOf(*table.get("line")), where + ".line",
                      "no [[line]] is named \"" + *name + "\"");
        else
            lineIndex = static_cast<size_t>(found - config.lines.begin());
    } else if (table.get("line") == nullptr) {
        r.Missing(table, where, "line");
    }
    if (lineIndex)
        unit.line = *lineIndex;
    const bool peerToPeer = lineIndex && config.lines[*lineIndex].init.empty();
    if (const auto plc = r.String(table, where, "plc")) {
        unit.fileLine = Reader::LineOf(*table.get("plc"));
        if (plc->size() != 2)
            r.Problem(unit.fileLine, where + ".plc",
                      "expected a two-character PLC name from the init file, or \"00\"");
        else if (peerToPeer && *plc != "00")
            r.Problem(unit.fileLine, where + ".plc",
                      "line \"" + config.lines[*lineIndex].name +
                          "\" has no init file (peer to peer): the PLC is \"00\"");
        unit.plc = *plc;
    } else if (table.get("plc") == nullptr) {
        if (peerToPeer)
            unit.plc = "00";
        else if (lineIndex)
            r.Missing(table, where, "plc");
    }
    if (const auto readOnly = r.Boolean(table, where, "read_only"))
        unit.readOnly = *readOnly;
    if (const auto age = r.Integer(table, where, "max_age_ms", 0, kHoldAgeLimitMs))
        unit.maxAgeMs = static_cast<int32_t>(*age);
    if (const auto hold = r.Integer(table, where, "refused_hold_ms", 0, kHoldAgeLimitMs))
        unit.refusedHoldMs = static_cast<int32_t>(*hold);
}

// Each line's PLCs with the strictest values of the units that serve them.
void GatherPlcPolicies(Config &config) {
    for (const UnitConfig &unit : config.units) {
        if (unit.line >= config.lines.size() || unit.plc.empty())
            continue;
        auto &plcs = config.lines[unit.line].plcs;
        auto found = std::find_if(plcs.begin(), plcs.end(),
                                  [&](const PlcPolicy &p) { return p.plc == unit.plc; });
        if (found == plcs.end()) {
            plcs.push_back({unit.plc, unit.maxAgeMs, unit.refusedHoldMs});
            continue;
        }
        found->maxAgeMs = std::min(found->maxAgeMs, unit.maxAgeMs);
        found->refusedHoldMs = std::min(found->refusedHoldMs, unit.refusedHoldMs);
    }
}

// Reads every [[NAME]] entry with `read`; a plain [NAME] table is a problem.
template <typename Read>
void ForEachEntry(Reader &r, const toml::table &root, const char *name, Read read) {
    const toml::node *node = root.get(name);
    if (node == nullptr)
        return;
    const toml::array *list = node->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
        r.Problem(Reader::LineOf(*node), name, std::string("expected [[") + name + "]] entries");
        return;
    }
    size_t index = 0;
    for (const toml::node &entry : *list)
        read(*entry.as_table(), index++);
}

} // namespace

const UnitConfig *Config::FindUnit(uint8_t id) const {
    const auto found = std::find_if(units.begin(), units.end(),
                                    [&](const UnitConfig &unit) { return unit.id == id; });
    return found == units.end() ? nullptr : &*found;
}

std::optional<Config> LoadConfig(const std::string &path, std::vector<std::string> &problems) {
    Reader r(path, problems);
    const size_t before = problems.size();
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &error) {
        r.Problem(error.source().begin.line, "syntax", std::string(error.description()));
        return std::nullopt;
    }
    Config config;
    config.path = path;
    const fs::path base = fs::absolute(fs::path(path)).parent_path();
    for (auto &&[key, node] : root) {
        if (key.str() != "gateway" && key.str() != "line" && key.str() != "unit" &&
            key.str() != "mqtt" && key.str() != "poll")
            r.Problem(Reader::LineOf(node), std::string(key.str()),
                      "unknown table (expected [gateway], [[line]], [[unit]], [mqtt] and "
                      "[[poll]])");
    }
    if (const toml::node *server = root.get("gateway")) {
        if (const toml::table *table = server->as_table())
            ReadServer(r, *table, config.server);
        else
            r.Problem(Reader::LineOf(*server), "gateway", "expected a [gateway] table");
    }
    ForEachEntry(r, root, "line", [&](const toml::table &table, size_t index) {
        LineConfig line;
        ReadLine(r, table, index, base, line);
        for (const LineConfig &other : config.lines) {
            if (!line.name.empty() && other.name == line.name)
                r.Problem(Reader::LineOf(*table.get("name")),
                          "line[" + std::to_string(index + 1) + "].name",
                          "\"" + line.name + "\" is already the name of another line");
            if (table.get("vpi") != nullptr && other.vpi == line.vpi)
                r.Problem(Reader::LineOf(*table.get("vpi")),
                          "line[" + std::to_string(index + 1) + "].vpi",
                          std::to_string(line.vpi) + " is already the VPI of line \"" + other.name +
                              "\" (each line needs its own init file name)");
            if (!line.port.empty() && other.port == line.port)
                r.Problem(Reader::LineOf(*table.get("port")),
                          "line[" + std::to_string(index + 1) + "].port",
                          "\"" + line.port + "\" is already the port of line \"" + other.name +
                              "\"");
        }
        config.lines.push_back(std::move(line));
    });
    ForEachEntry(r, root, "unit", [&](const toml::table &table, size_t index) {
        UnitConfig unit;
        ReadUnit(r, table, index, config, unit);
        if (unit.id != 0 && config.FindUnit(unit.id) != nullptr)
            r.Problem(Reader::LineOf(*table.get("id")),
                      "unit[" + std::to_string(index + 1) + "].id",
                      "unit " + std::to_string(unit.id) + " is defined twice");
        config.units.push_back(std::move(unit));
    });
    if (config.lines.empty())
        r.Problem(1, "line", "no [[line]]: the gateway needs at least one serial line");
    ReadMqttSections(root, base.string(), config,
                     [&](int64_t line, const std::string &key, const std::string &what) {
                         r.Problem(line, key, what);
                     });
    if (config.units.empty() && config.polls.empty())
        r.Problem(1, "unit", "no [[unit]]: the gateway needs at least one Modbus unit");
    if (problems.size() != before)
        return std::nullopt;
    GatherPlcPolicies(config);
    return config;
}

} // namespace vpisd::gateway
