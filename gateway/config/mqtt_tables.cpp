#include "gateway/config/mqtt_tables.h"

#include <set>

namespace vpisd::gateway {
namespace {

constexpr int64_t kShortestIntervalMs = 10;
constexpr int64_t kLongestIntervalMs = 86400000;
constexpr int64_t kKeepaliveLimitS = 65535;
constexpr uint16_t kBrokerPort = 1883;
constexpr uint16_t kBrokerTlsPort = 8883;

constexpr const char *kMqttKeys[] = {"broker",   "client_id",     "topic_prefix", "username",
                                     "password", "password_file", "cafile",       "certfile",
                                     "keyfile",  "tls_version",   "qos",          "keepalive_s"};
constexpr const char *kPollKeys[] = {"line", "plc", "registers", "interval_ms", "publish"};

// The client certificate and the TLS version, beside `cafile`.
void ReadTls(TomlReader &r, const toml::table &table, MqttConfig &mqtt) {
    if (const auto file = r.ReadableFile(table, "mqtt", "certfile"))
        mqtt.certfile = *file;
    if (const auto file = r.ReadableFile(table, "mqtt", "keyfile"))
        mqtt.keyfile = *file;
    const char *pair[][2] = {{"certfile", "keyfile"}, {"keyfile", "certfile"}};
    for (const auto &[key, other] : pair) {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            continue;
        if (table.get(other) == nullptr)
            r.Problem(TomlReader::LineOf(*node), std::string("mqtt.") + key,
                      std::string("the client certificate needs both certfile and keyfile: ") +
                          other + " is missing");
        else if (table.get("cafile") == nullptr)
            r.Problem(TomlReader::LineOf(*node), std::string("mqtt.") + key,
                      "a client certificate is for TLS: give cafile too");
    }
    if (const toml::node *node = table.get("tls_version")) {
        const auto version = node->value_exact<std::string>();
        if (!version || (*version != "tlsv1.2" && *version != "tlsv1.3"))
            r.Problem(TomlReader::LineOf(*node), "mqtt.tls_version",
                      "expected \"tlsv1.2\" or \"tlsv1.3\" (the lowest version accepted)");
        else if (table.get("cafile") == nullptr)
            r.Problem(TomlReader::LineOf(*node), "mqtt.tls_version",
                      "TLS is used with cafile: give cafile too");
        else
            mqtt.tlsVersion = *version;
    }
}

MqttConfig ReadMqtt(TomlReader &r, const toml::table &table) {
    MqttConfig mqtt;
    mqtt.fileLine = TomlReader::LineOf(table);
    r.UnknownKeys(table, "mqtt", kMqttKeys);
    // Over TLS (with cafile) the broker's port is 8883 unless `broker` names one.
    const uint16_t defaultPort = table.get("cafile") != nullptr ? kBrokerTlsPort : kBrokerPort;
    if (const auto broker =
            r.Endpoint(table, "mqtt", "broker", {defaultPort, false, "127.0.0.1:1883"})) {
        mqtt.host = broker->host;
        mqtt.port = broker->port;
    } else if (table.get("broker") == nullptr) {
        r.Missing(table, "mqtt", "broker");
    }
    if (const auto id = r.String(table, "mqtt", "client_id"))
        mqtt.clientId = *id;
    if (const auto prefix = r.String(table, "mqtt", "topic_prefix")) {
        if (!IsPlainTopic(*prefix))
            r.Problem(TomlReader::LineOf(*table.get("topic_prefix")), "mqtt.topic_prefix",
                      "expected topic levels without \"+\", \"#\" or empty levels");
        mqtt.topicPrefix = *prefix;
    }
    if (const toml::node *password = table.get("password"))
        r.Problem(TomlReader::LineOf(*password), "mqtt.password",
                  "the password is never kept in the configuration: give password_file");
    if (const auto user = r.String(table, "mqtt", "username"))
        mqtt.username = *user;
    if (const auto file = r.ReadableFile(table, "mqtt", "password_file")) {
        mqtt.passwordFile = *file;
        if (mqtt.username.empty())
            r.Problem(TomlReader::LineOf(*table.get("password_file")), "mqtt.password_file",
                      "a password needs a username");
    }
    if (const auto file = r.ReadableFile(table, "mqtt", "cafile"))
        mqtt.cafile = *file;
    ReadTls(r, table, mqtt);
    if (const auto qos = r.Integer(table, "mqtt", "qos", 0, 2))
        mqtt.qos = static_cast<int>(*qos);
    if (const auto keepalive = r.Integer(table, "mqtt", "keepalive_s", 5, kKeepaliveLimitS))
        mqtt.keepaliveS = static_cast<int>(*keepalive);
    return mqtt;
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
        if (const auto spec = ParseRegisterSpec(*text, why))
            poll.registers = *spec;
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
}

} // namespace

void ReadMqttTables(TomlReader &r, const toml::table &root, Config &config) {
    if (const toml::node *node = root.get("mqtt")) {
        if (const toml::table *table = node->as_table())
            config.mqtt = ReadMqtt(r, *table);
        else
            r.Problem(TomlReader::LineOf(*node), "mqtt", "expected an [mqtt] table");
    }
    if (config.mqtt) {
        for (size_t i = 0; i < config.lines.size(); ++i) {
            const std::string &name = config.lines[i].name;
            if (!name.empty() && (!IsPlainTopic(name) || name.find('/') != std::string::npos))
                r.Problem(config.lines[i].fileLine, "line[" + std::to_string(i + 1) + "].name",
                          "\"" + name + "\" is a topic level under MQTT: no \"/\", \"+\" or \"#\"");
        }
    }
    if (const toml::node *node = root.get("poll");
        node != nullptr && node->is_array_of_tables() && !config.mqtt)
        r.Problem(TomlReader::LineOf(*node), "poll",
                  "[[poll]] publishes to MQTT: it needs an [mqtt] table");
    std::set<std::string> topics; // line/plc/value, for groups that overlap
    r.ForEachEntry(root, "poll", [&](const toml::table &table, size_t index) {
        PollConfig poll;
        const size_t before = r.ProblemCount();
        ReadPoll(r, table, index, config, poll);
        const std::string where = "poll[" + std::to_string(index + 1) + "]";
        // A group with a problem of its own is not compared: its registers may not be what
        // was meant.
        if (r.ProblemCount() == before && !config.lines.empty() && !poll.plc.empty()) {
            for (uint16_t i = 0; i < poll.registers.count; ++i) {
                const std::string topic =
                    config.lines[poll.line].name + "/" + poll.plc + "/" + poll.registers.Name(i);
                if (!topics.insert(topic).second) {
                    r.Problem(poll.fileLine, where + ".registers",
                              topic + " is already polled by an earlier group");
                    break;
                }
            }
        }
        config.polls.push_back(std::move(poll));
    });
}

} // namespace vpisd::gateway
