#include "gateway/config/mqtt_tables.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace vpisd::gateway {
namespace {

constexpr int64_t kShortestIntervalMs = 10;
constexpr int64_t kLongestIntervalMs = 86400000;
constexpr int64_t kKeepaliveLimitS = 65535;
constexpr uint16_t kBrokerPort = 1883;
constexpr uint16_t kBrokerTlsPort = 8883;

constexpr const char *kMqttKeys[] = {"broker",     "client_id",     "topic_prefix",     "username",
                                     "password",   "password_file", "cafile",           "certfile",
                                     "keyfile",    "tls_version",   "discovery_prefix", "qos",
                                     "keepalive_s"};
constexpr const char *kPollKeys[] = {"line",        "plc",      "registers",  "interval_ms",
                                     "publish",     "type",     "word_order", "scale",
                                     "offset",      "deadband", "names",      "unit_of_measurement",
                                     "device_class"};

constexpr const char *kSparkplugKeys[] = {
    "broker",        "group_id", "edge_node_id", "primary_host_id", "username",    "password",
    "password_file", "cafile",   "certfile",     "keyfile",         "tls_version", "keepalive_s"};

// The client certificate and the TLS version, beside `cafile`.
void ReadTls(TomlReader &r, const toml::table &table, const std::string &name,
             BrokerConfig &broker) {
    if (const auto file = r.ReadableFile(table, name, "certfile"))
        broker.certfile = *file;
    if (const auto file = r.ReadableFile(table, name, "keyfile"))
        broker.keyfile = *file;
    const char *pair[][2] = {{"certfile", "keyfile"}, {"keyfile", "certfile"}};
    for (const auto &[key, other] : pair) {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            continue;
        if (table.get(other) == nullptr)
            r.Problem(TomlReader::LineOf(*node), name + "." + key,
                      std::string("the client certificate needs both certfile and keyfile: ") +
                          other + " is missing");
        else if (table.get("cafile") == nullptr)
            r.Problem(TomlReader::LineOf(*node), name + "." + key,
                      "a client certificate is for TLS: give cafile too");
    }
    if (const toml::node *node = table.get("tls_version")) {
        const auto version = node->value_exact<std::string>();
        if (!version || (*version != "tlsv1.2" && *version != "tlsv1.3"))
            r.Problem(TomlReader::LineOf(*node), name + ".tls_version",
                      "expected \"tlsv1.2\" or \"tlsv1.3\" (the lowest version accepted)");
        else if (table.get("cafile") == nullptr)
            r.Problem(TomlReader::LineOf(*node), name + ".tls_version",
                      "TLS is used with cafile: give cafile too");
        else
            broker.tlsVersion = *version;
    }
}

// broker, the credentials and TLS: the keys every MQTT connection of the gateway reads alike.
void ReadBroker(TomlReader &r, const toml::table &table, const std::string &name,
                BrokerConfig &broker) {
    // Over TLS (with cafile) the broker's port is 8883 unless `broker` names one.
    const uint16_t defaultPort = table.get("cafile") != nullptr ? kBrokerTlsPort : kBrokerPort;
    if (const auto endpoint =
            r.Endpoint(table, name, "broker", {defaultPort, false, "127.0.0.1:1883"})) {
        broker.host = endpoint->host;
        broker.port = endpoint->port;
    } else if (table.get("broker") == nullptr) {
        r.Missing(table, name, "broker");
    }
    if (const toml::node *password = table.get("password"))
        r.Problem(TomlReader::LineOf(*password), name + ".password",
                  "the password is never kept in the configuration: give password_file");
    if (const auto user = r.String(table, name, "username"))
        broker.username = *user;
    if (const auto file = r.ReadableFile(table, name, "password_file")) {
        broker.passwordFile = *file;
        if (broker.username.empty())
            r.Problem(TomlReader::LineOf(*table.get("password_file")), name + ".password_file",
                      "a password needs a username");
    }
    if (const auto file = r.ReadableFile(table, name, "cafile"))
        broker.cafile = *file;
    ReadTls(r, table, name, broker);
}

MqttConfig ReadMqtt(TomlReader &r, const toml::table &table) {
    MqttConfig mqtt;
    mqtt.fileLine = TomlReader::LineOf(table);
    r.UnknownKeys(table, "mqtt", kMqttKeys);
    ReadBroker(r, table, "mqtt", mqtt);
    if (const auto id = r.String(table, "mqtt", "client_id"))
        mqtt.clientId = *id;
    if (const auto prefix = r.String(table, "mqtt", "topic_prefix")) {
        if (!IsPlainTopic(*prefix))
            r.Problem(TomlReader::LineOf(*table.get("topic_prefix")), "mqtt.topic_prefix",
                      "expected topic levels without \"+\", \"#\" or empty levels");
        mqtt.topicPrefix = *prefix;
    }
    if (const auto prefix = r.String(table, "mqtt", "discovery_prefix")) {
        if (!IsPlainTopic(*prefix))
            r.Problem(TomlReader::LineOf(*table.get("discovery_prefix")), "mqtt.discovery_prefix",
                      "expected topic levels without \"+\", \"#\" or empty levels");
        mqtt.discoveryPrefix = *prefix;
    }
    if (const auto qos = r.Integer(table, "mqtt", "qos", 0, 2))
        mqtt.qos = static_cast<int>(*qos);
    if (const auto keepalive = r.Integer(table, "mqtt", "keepalive_s", 5, kKeepaliveLimitS))
        mqtt.keepaliveS = static_cast<int>(*keepalive);
    return mqtt;
}

// A Sparkplug id is one topic level: no "+", "#" or "/".
std::optional<std::string> SparkplugId(TomlReader &r, const toml::table &table, const char *key,
                                       bool required) {
    const auto id = r.String(table, "sparkplug", key);
    if (!id) {
        if (required && table.get(key) == nullptr)
            r.Missing(table, "sparkplug", key);
        return std::nullopt;
    }
    if (id->empty() || id->find_first_of("+#/") != std::string::npos) {
        r.Problem(TomlReader::LineOf(*table.get(key)), std::string("sparkplug.") + key,
                  "expected a Sparkplug id: not empty, no \"+\", \"#\" or \"/\"");
        return std::nullopt;
    }
    return id;
}

SparkplugConfig ReadSparkplug(TomlReader &r, const toml::table &table) {
    SparkplugConfig sparkplug;
    sparkplug.fileLine = TomlReader::LineOf(table);
    r.UnknownKeys(table, "sparkplug", kSparkplugKeys);
    ReadBroker(r, table, "sparkplug", sparkplug);
    sparkplug.groupId = SparkplugId(r, table, "group_id", true).value_or("");
    sparkplug.edgeNodeId = SparkplugId(r, table, "edge_node_id", true).value_or("");
    sparkplug.primaryHostId = SparkplugId(r, table, "primary_host_id", false).value_or("");
    if (const auto keepalive = r.Integer(table, "sparkplug", "keepalive_s", 5, kKeepaliveLimitS))
        sparkplug.keepaliveS = static_cast<int>(*keepalive);
    return sparkplug;
}

std::optional<double> Number(TomlReader &r, const toml::table &table, const std::string &where,
                             const char *key) {
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return std::nullopt;
    const auto value = node->value<double>();
    if (!node->is_number() || !value || !std::isfinite(*value)) {
        r.Problem(TomlReader::LineOf(*node), where + "." + key, "expected a number");
        return std::nullopt;
    }
    return value;
}

// type and word_order, judged against the form of `registers`.
void ReadType(TomlReader &r, const toml::table &table, const std::string &where, PollConfig &poll) {
    const ValueForm form = poll.registers.form;
    poll.type = form == ValueForm::Pair  ? host::ValueType::Uint32
                : form == ValueForm::Bit ? host::ValueType::Bit
                                         : host::ValueType::Uint16;
    if (const toml::node *node = table.get("type")) {
        const auto name = node->value_exact<std::string>();
        const auto type = name ? host::ValueTypeNamed(*name) : std::nullopt;
        const int64_t line = TomlReader::LineOf(*node);
        if (!type)
            r.Problem(line, where + ".type",
                      "unknown type: expected uint16, int16, uint32, int32, float32 or bit");
        else if ((*type == host::ValueType::Bit) != (form == ValueForm::Bit))
            r.Problem(line, where + ".type",
                      form == ValueForm::Bit
                          ? "a bit of a register (\"100/3\") is of type \"bit\""
                          : "type \"bit\" takes one bit of a register, e.g. registers = \"100/3\"");
        else if (form == ValueForm::Pair && host::InfoOf(*type).words != 2)
            r.Problem(line, where + ".type",
                      "a register pair (\"101F\") holds a 32-bit value: uint32, int32 or float32");
        else
            poll.type = *type;
    }
    const bool wide = host::InfoOf(poll.type).words == 2;
    if (const toml::node *node = table.get("word_order")) {
        const auto name = node->value_exact<std::string>();
        const auto order = name ? host::WordOrderNamed(*name) : std::nullopt;
        if (!wide)
            r.Problem(TomlReader::LineOf(*node), where + ".word_order",
                      std::string(host::InfoOf(poll.type).name[0] == 'i' ? "an " : "a ") +
                          std::string(host::InfoOf(poll.type).name) +
                          " value has one word: word_order is for uint32, int32 and float32");
        else if (!order)
            r.Problem(TomlReader::LineOf(*node), where + ".word_order",
                      "expected \"high_first\" or \"low_first\"");
        else
            poll.order = *order;
    }
    if (wide && form == ValueForm::Register && poll.registers.count % 2 != 0) {
        const toml::node *node = table.get("registers");
        r.Problem(node != nullptr ? TomlReader::LineOf(*node) : poll.fileLine, where + ".registers",
                  std::string(host::InfoOf(poll.type).name) +
                      " takes its registers in pairs: give an even count");
    }
}

// A name is a topic level path of its own: never a wildcard, never the route's topic, and no
// level that reads as a command.
const char *NameProblem(const std::string &name) {
    if (!IsPlainTopic(name))
        return "expected topic levels without \"+\", \"#\" or empty levels";
    if (name == "route")
        return "\"route\" is the topic of the PLC's route";
    if (name == "set" || name.ends_with("/set") || name.find("/set/") != std::string::npos ||
        name.starts_with("set/"))
        return "a level \"set\" would read as a command topic";
    return nullptr;
}

void ReadNames(TomlReader &r, const toml::table &table, const std::string &where,
               const Config &config, PollConfig &poll) {
    const toml::node *node = table.get("names");
    if (node == nullptr)
        return;
    const toml::table *names = node->as_table();
    if (names == nullptr) {
        r.Problem(TomlReader::LineOf(*node), where + ".names",
                  "expected a table of value keys and names, e.g. { \"100\" = \"tank1/level\" }");
        return;
    }
    // Everything a value of this PLC is already called: earlier groups' keys and names.
    std::set<std::string> taken;
    for (const PollConfig &earlier : config.polls) {
        if (earlier.line != poll.line || earlier.plc != poll.plc)
            continue;
        for (size_t i = 0; i < earlier.Values(); ++i) {
            taken.insert(earlier.Key(i));
            taken.insert(earlier.Level(i));
        }
    }
    for (auto &&[key, entry] : *names) {
        const std::string what = where + ".names." + std::string(key.str());
        const int64_t line = TomlReader::LineOf(entry);
        size_t index = 0;
        while (index < poll.Values() && poll.Key(index) != key.str())
            ++index;
        const auto name = entry.value_exact<std::string>();
        if (index == poll.Values()) {
            r.Problem(
                line, what,
                "not a value of this group (its values are " + poll.Key(0) +
                    (poll.Values() > 1 ? " to " + poll.Key(poll.Values() - 1) : std::string()) +
                    ")");
            continue;
        }
        if (!name || name->empty()) {
            r.Problem(line, what, "expected a non-empty string");
            continue;
        }
        if (const char *problem = NameProblem(*name)) {
            r.Problem(line, what, "\"" + *name + "\": " + problem);
            continue;
        }
        bool collides = taken.contains(*name);
        for (size_t i = 0; i < poll.Values(); ++i) {
            const auto named = poll.names.find(i);
            collides = collides || (i != index && poll.Key(i) == *name) ||
                       (named != poll.names.end() && named->second == *name);
        }
        if (collides) {
            r.Problem(line, what,
                      "\"" + *name + "\" is already the key or name of another value of " +
                          poll.plc);
            continue;
        }
        poll.names[index] = *name;
    }
}

void ReadPoll(TomlReader &r, const toml::table &table, size_t index, const Config &config,
              PollConfig &poll) {
    const std::string where = "poll[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kPollKeys);
    const TomlReader::Target target = r.LineAndPlc(table, where, config.lines);
    poll.line = target.line.value_or(0);
    poll.plc = target.plc;
    poll.fileLine = target.fileLine;
    if (const auto text = r.String(table, where, "registers")) {
        std::string why;
        if (const auto registers = ParsePollRegisters(*text, why))
            poll.registers = *registers;
        else
            r.Problem(TomlReader::LineOf(*table.get("registers")), where + ".registers",
                      "\"" + *text + "\": " + why);
    } else if (table.get("registers") == nullptr) {
        r.Problem(poll.fileLine, where + ".registers", "missing");
    }
    if (const auto interval =
            r.Integer(table, where, "interval_ms", kShortestIntervalMs, kLongestIntervalMs))
        poll.intervalMs = static_cast<int32_t>(*interval);
    if (const toml::node *node = table.get("publish")) {
        const auto mode = node->value_exact<std::string>();
        if (mode && *mode == "on_change")
            poll.publish = PublishMode::OnChange;
        else if (mode && *mode == "always")
            poll.publish = PublishMode::Always;
        else
            r.Problem(TomlReader::LineOf(*node), where + ".publish",
                      "expected \"on_change\" or \"always\"");
    }
    ReadType(r, table, where, poll);
    if (const auto scale = Number(r, table, where, "scale")) {
        if (*scale == 0)
            r.Problem(TomlReader::LineOf(*table.get("scale")), where + ".scale",
                      "0 would publish every value as the offset: expected a number other than 0");
        else
            poll.scaling.scale = *scale;
    }
    if (const auto offset = Number(r, table, where, "offset"))
        poll.scaling.offset = *offset;
    if (const auto deadband = Number(r, table, where, "deadband")) {
        if (*deadband < 0)
            r.Problem(TomlReader::LineOf(*table.get("deadband")), where + ".deadband",
                      "expected a number from 0 (in published units)");
        else
            poll.deadband = *deadband;
    }
    ReadNames(r, table, where, config, poll);
    if (const auto unit = r.String(table, where, "unit_of_measurement"))
        poll.unitOfMeasurement = *unit;
    if (const auto deviceClass = r.String(table, where, "device_class"))
        poll.deviceClass = *deviceClass;
}

} // namespace

size_t PollConfig::Values() const {
    if (registers.form == ValueForm::Register && host::InfoOf(type).words == 2)
        return registers.count / 2u;
    return registers.count;
}

uint16_t PollConfig::RegisterOf(size_t index) const {
    if (registers.form == ValueForm::Bit)
        return registers.first;
    const size_t width = registers.form == ValueForm::Pair ? 2 : host::InfoOf(type).words;
    return static_cast<uint16_t>(registers.first + width * index);
}

std::string PollConfig::Key(size_t index) const {
    if (registers.form == ValueForm::Register)
        return std::to_string(RegisterOf(index));
    return registers.Name(static_cast<uint16_t>(index));
}

std::string PollConfig::Level(size_t index) const {
    const auto named = names.find(index);
    return named != names.end() ? named->second : Key(index);
}

host::ValueFormat PollConfig::Format() const {
    return {type, order,
            static_cast<uint8_t>(registers.form == ValueForm::Bit ? registers.bit - 1 : 0)};
}

void ReadMqttTables(TomlReader &r, const toml::table &root, Config &config) {
    if (const toml::node *node = root.get("mqtt")) {
        if (const toml::table *table = node->as_table())
            config.mqtt = ReadMqtt(r, *table);
        else
            r.Problem(TomlReader::LineOf(*node), "mqtt", "expected an [mqtt] table");
    }
    if (const toml::node *node = root.get("sparkplug")) {
        if (const toml::table *table = node->as_table())
            config.sparkplug = ReadSparkplug(r, *table);
        else
            r.Problem(TomlReader::LineOf(*node), "sparkplug", "expected a [sparkplug] table");
    }
    if (config.mqtt || config.sparkplug) {
        // A line's name is a topic level under MQTT and a part of each Sparkplug device id.
        for (size_t i = 0; i < config.lines.size(); ++i) {
            const std::string &name = config.lines[i].name;
            if (!name.empty() && (!IsPlainTopic(name) || name.find('/') != std::string::npos))
                r.Problem(config.lines[i].fileLine, "line[" + std::to_string(i + 1) + "].name",
                          "\"" + name + "\" is a topic level under MQTT: no \"/\", \"+\" or \"#\"");
        }
    }
    if (const toml::node *node = root.get("poll");
        node != nullptr && node->is_array_of_tables() && !config.mqtt && !config.sparkplug)
        r.Problem(TomlReader::LineOf(*node), "poll",
                  "[[poll]] publishes to MQTT: it needs an [mqtt] or a [sparkplug] table");
    std::set<std::string> topics; // line/plc/value by key and name, for groups that overlap
    r.ForEachEntry(root, "poll", [&](const toml::table &table, size_t index) {
        PollConfig poll;
        const size_t before = r.ProblemCount();
        ReadPoll(r, table, index, config, poll);
        const std::string where = "poll[" + std::to_string(index + 1) + "]";
        // A group with a problem of its own is not compared: its registers may not be what
        // was meant.
        if (r.ProblemCount() == before && !config.lines.empty() && !poll.plc.empty()) {
            const std::string plc = config.lines[poll.line].name + "/" + poll.plc + "/";
            for (size_t i = 0; i < poll.Values(); ++i) {
                if (topics.contains(plc + poll.Key(i))) {
                    r.Problem(poll.fileLine, where + ".registers",
                              plc + poll.Key(i) +
                                  " is already polled or named by an earlier group");
                    break;
                }
            }
            for (size_t i = 0; i < poll.Values(); ++i) {
                topics.insert(plc + poll.Key(i));
                topics.insert(plc + poll.Level(i));
            }
        }
        config.polls.push_back(std::move(poll));
    });
}

} // namespace vpisd::gateway
