#include "gateway/config/config.h"

#include <toml++/toml.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "gateway/config/mqtt_tables.h"
#include "gateway/config/toml_reader.h"
#include "host/endpoint.h"
#include "host/file_text.h"
#include "host/port_name.h"

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

constexpr int64_t kIdleTimeoutLimitS = 86400;
constexpr const char *kServerKeys[] = {"listen", "max_clients", "allow", "read_only",
                                       "idle_timeout_s"};
constexpr int64_t kDemoteAfterLimit = 10; // each transaction already holds ten tries
constexpr int64_t kDemoteLimitS = 3600;
constexpr int64_t kDemoteMaxLimitS = 86400;
constexpr const char *kLineKeys[] = {
    "name", "port",       "vpi",   "init",      "baud",         "data",     "parity",
    "stop", "timeout_ms", "queue", "merge_gap", "demote_after", "demote_s", "demote_max_s"};
constexpr const char *kUnitKeys[] = {"id",        "line",       "plc",
                                     "read_only", "max_age_ms", "refused_hold_ms"};

struct ParityName {
    const char *name;
    uint16_t code;
};
constexpr ParityName kParities[] = {
    {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};

constexpr const char *kHttpKeys[] = {"listen", "allow"};

// A list of addresses or CIDR blocks; absent: `allow` is left as it is.
void ReadAllow(TomlReader &r, const toml::table &table, const std::string &where,
               std::vector<AddressBlock> &allow) {
    const toml::node *node = table.get("allow");
    if (node == nullptr)
        return;
    const toml::array *list = node->as_array();
    if (list == nullptr) {
        r.Problem(TomlReader::LineOf(*node), where + ".allow",
                  "expected a list of addresses, e.g. [\"127.0.0.0/8\"]");
        return;
    }
    allow.clear();
    for (const toml::node &entry : *list) {
        const auto text = entry.value_exact<std::string>();
        const auto block = text ? ParseAddressBlock(*text) : std::nullopt;
        if (!block) {
            r.Problem(TomlReader::LineOf(entry), where + ".allow",
                      "expected an address or CIDR block, e.g. \"192.168.1.0/24\"");
            continue;
        }
        allow.push_back(*block);
    }
}

void ReadHttp(TomlReader &r, const toml::table &table, HttpConfig &http) {
    const std::string where = "http";
    r.UnknownKeys(table, where, kHttpKeys);
    if (const auto listen =
            r.Endpoint(table, where, "listen", {std::nullopt, true, "127.0.0.1:8080"})) {
        http.listenHost = listen->host;
        http.listenPort = listen->port;
    }
    ReadAllow(r, table, where, http.allow);
}

void ReadServer(TomlReader &r, const toml::table &table, ServerConfig &server) {
    const std::string where = "gateway";
    r.UnknownKeys(table, where, kServerKeys);
    if (const auto listen =
            r.Endpoint(table, where, "listen", {std::nullopt, true, "127.0.0.1:5020"})) {
        server.listenHost = listen->host;
        server.listenPort = listen->port;
    }
    if (const auto clients = r.Integer(table, where, "max_clients", 1, kMaxClientsLimit))
        server.maxClients = static_cast<int>(*clients);
    ReadAllow(r, table, where, server.allow);
    if (const auto readOnly = r.Boolean(table, where, "read_only"))
        server.readOnly = *readOnly;
    if (const auto idle = r.Integer(table, where, "idle_timeout_s", 0, kIdleTimeoutLimitS))
        server.idleTimeoutS = static_cast<int>(*idle);
}

std::optional<uint16_t> ReadStopBits(TomlReader &r, const toml::table &table,
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
    r.Problem(TomlReader::LineOf(*node), where + ".stop", "expected 1, 1.5 or 2");
    return std::nullopt;
}

// demote_max_s left out follows a demote_s above its default.
void ReadDemotion(TomlReader &r, const toml::table &table, const std::string &where,
                  DemotionPolicy &demotion) {
    if (const auto after = r.Integer(table, where, "demote_after", 1, kDemoteAfterLimit))
        demotion.after = static_cast<int>(*after);
    if (const auto hold = r.Integer(table, where, "demote_s", 0, kDemoteLimitS))
        demotion.hold = std::chrono::seconds(*hold);
    const toml::node *longestNode = table.get("demote_max_s");
    if (const auto longest = r.Integer(table, where, "demote_max_s", 1, kDemoteMaxLimitS))
        demotion.longestHold = std::chrono::seconds(*longest);
    if (longestNode == nullptr)
        demotion.longestHold = std::max(demotion.longestHold, demotion.hold);
    else if (demotion.longestHold < demotion.hold)
        r.Problem(TomlReader::LineOf(*longestNode), where + ".demote_max_s",
                  "must be at least demote_s (" + std::to_string(demotion.hold.count()) + ")");
}

void ReadLine(TomlReader &r, const toml::table &table, size_t index, LineConfig &line) {
    const std::string where = "line[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kLineKeys);
    line.fileLine = TomlReader::LineOf(table);
    if (const auto name = r.String(table, where, "name"))
        line.name = *name;
    else if (table.get("name") == nullptr)
        r.Missing(table, where, "name");
    if (const auto port = r.String(table, where, "port")) {
        line.port = *port;
        std::string why;
        if (host::IsTcpPort(*port)) {
            if (!host::ParseTcpPort(*port, why))
                r.Problem(TomlReader::LineOf(*table.get("port")), where + ".port", why);
        } else if (!host::DriverPortName(*port)) {
            r.Problem(TomlReader::LineOf(*table.get("port")), where + ".port",
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
        const std::string file = r.FilePath(*init);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            r.Problem(TomlReader::LineOf(*table.get("init")), where + ".init",
                      "init file " + file + " not found");
        line.init = file;
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
            r.Problem(TomlReader::LineOf(*node), where + ".parity",
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
    ReadDemotion(r, table, where, line.demotion);
}

void ReadUnit(TomlReader &r, const toml::table &table, size_t index, const Config &config,
              UnitConfig &unit) {
    const std::string where = "unit[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kUnitKeys);
    if (const auto id = r.Integer(table, where, "id", kUnitFirst, kUnitLast))
        unit.id = static_cast<uint8_t>(*id);
    else if (table.get("id") == nullptr)
        r.Missing(table, where, "id");
    const TomlReader::Target target = r.LineAndPlc(table, where, config.lines);
    unit.line = target.line.value_or(0);
    unit.plc = target.plc;
    unit.fileLine = target.fileLine;
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

// Why `path` cannot be read as a file, or "".
std::string ReadableFileProblem(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info {};
    const bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    char byte = 0;
    const bool readable = directory || read(fd, &byte, 1) >= 0;
    const int error = errno;
    close(fd);
    if (directory)
        return "it is a directory";
    return readable ? "" : std::strerror(error);
}

} // namespace

const UnitConfig *Config::FindUnit(uint8_t id) const {
    const auto found = std::find_if(units.begin(), units.end(),
                                    [&](const UnitConfig &unit) { return unit.id == id; });
    return found == units.end() ? nullptr : &*found;
}

std::optional<Config> ReadConfig(const std::string &path, std::vector<std::string> &problems) {
    std::string why = ReadableFileProblem(path);
    std::optional<std::string> text;
    if (why.empty() && !(text = host::ReadWholeFile(path)))
        why = std::strerror(errno);
    if (!why.empty()) {
        problems.push_back("cannot read " + path + ": " + why);
        return std::nullopt;
    }
    return ReadConfigText(*text, path, problems);
}

std::optional<Config> ReadConfigText(const std::string &text, const std::string &path,
                                     std::vector<std::string> &problems) {
    TomlReader r(path, problems);
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error &error) {
        r.Problem(error.source().begin.line, "syntax", std::string(error.description()));
        return std::nullopt;
    }
    Config config;
    config.path = path;
    for (auto &&[key, node] : root) {
        if (key.str() != "gateway" && key.str() != "line" && key.str() != "unit" &&
            key.str() != "mqtt" && key.str() != "poll" && key.str() != "http" &&
            key.str() != "sparkplug")
            r.Problem(TomlReader::LineOf(node), std::string(key.str()),
                      "unknown table (expected [gateway], [[line]], [[unit]], [mqtt], [[poll]], "
                      "[sparkplug] and [http])");
    }
    if (const toml::node *server = root.get("gateway")) {
        if (const toml::table *table = server->as_table())
            ReadServer(r, *table, config.server);
        else
            r.Problem(TomlReader::LineOf(*server), "gateway", "expected a [gateway] table");
    }
    if (const toml::node *http = root.get("http")) {
        config.http.emplace();
        if (const toml::table *table = http->as_table())
            ReadHttp(r, *table, *config.http);
        else
            r.Problem(TomlReader::LineOf(*http), "http", "expected an [http] table");
    }
    r.ForEachEntry(root, "line", [&](const toml::table &table, size_t index) {
        LineConfig line;
        ReadLine(r, table, index, line);
        for (const LineConfig &other : config.lines) {
            if (!line.name.empty() && other.name == line.name)
                r.Problem(TomlReader::LineOf(*table.get("name")),
                          "line[" + std::to_string(index + 1) + "].name",
                          "\"" + line.name + "\" is already the name of another line");
            if (table.get("vpi") != nullptr && other.vpi == line.vpi)
                r.Problem(TomlReader::LineOf(*table.get("vpi")),
                          "line[" + std::to_string(index + 1) + "].vpi",
                          std::to_string(line.vpi) + " is already the VPI of line \"" + other.name +
                              "\" (each line needs its own init file name)");
            if (!line.port.empty() && other.port == line.port)
                r.Problem(TomlReader::LineOf(*table.get("port")),
                          "line[" + std::to_string(index + 1) + "].port",
                          "\"" + line.port + "\" is already the port of line \"" + other.name +
                              "\"");
        }
        config.lines.push_back(std::move(line));
    });
    r.ForEachEntry(root, "unit", [&](const toml::table &table, size_t index) {
        UnitConfig unit;
        ReadUnit(r, table, index, config, unit);
        if (unit.id != 0 && config.FindUnit(unit.id) != nullptr)
            r.Problem(TomlReader::LineOf(*table.get("id")),
                      "unit[" + std::to_string(index + 1) + "].id",
                      "unit " + std::to_string(unit.id) + " is defined twice");
        config.units.push_back(std::move(unit));
    });
    ReadMqttTables(r, root, config);
    // No [[line]] at all is the file as installed: the gateway runs and serves nothing. Lines
    // that nothing serves are a mistake.
    if (!config.lines.empty() && config.units.empty() && config.polls.empty())
        r.Problem(1, "unit", "no [[unit]]: the gateway needs at least one Modbus unit");
    GatherPlcPolicies(config);
    return config;
}

std::string Summary(const Config &config) {
    const auto count = [](size_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string text = count(config.lines.size(), "line", "lines") + ", " +
                       count(config.units.size(), "unit", "units");
    if (!config.polls.empty())
        text += ", " + count(config.polls.size(), "poll group", "poll groups");
    if (config.mqtt)
        text += ", MQTT to " + host::EndpointText(config.mqtt->host, config.mqtt->port) +
                (config.mqtt->cafile.empty() ? "" : " over TLS");
    if (config.sparkplug)
        text += ", Sparkplug B edge node " + config.sparkplug->groupId + "/" +
                config.sparkplug->edgeNodeId + " to " +
                host::EndpointText(config.sparkplug->host, config.sparkplug->port) +
                (config.sparkplug->cafile.empty() ? "" : " over TLS");
    if (config.http)
        text += ", HTTP on " +
                host::EndpointText(config.http->listenHost, config.http->listenPort) +
                (config.http->listenPort == 0 ? " (any free port)" : "");
    return text;
}

} // namespace vpisd::gateway
