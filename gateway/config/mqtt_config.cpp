#include "gateway/config/mqtt_config.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>

#include "gateway/config/mqtt_config_reader.h"

namespace vpisd::gateway {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kLastRegister = 9999; // the largest register a GAS can name
constexpr unsigned kMostRegisters = 125; // one block read of the line worker
constexpr int64_t kShortestIntervalMs = 10;
constexpr int64_t kLongestIntervalMs = 86400000;
constexpr int64_t kKeepaliveLimitS = 65535;

constexpr const char *kMqttKeys[] = {"broker",   "client_id",     "topic_prefix", "username",
                                     "password", "password_file", "cafile",       "certfile",
                                     "keyfile",  "tls_version",   "qos",          "keepalive_s"};
constexpr uint16_t kMqttPort = 1883;
constexpr uint16_t kMqttTlsPort = 8883;
constexpr const char *kPollKeys[] = {"line", "plc", "registers", "interval_ms", "publish"};

std::optional<unsigned> Number(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// A topic level (or a prefix of levels) that a subscriber can name without wildcards.
bool IsPlainTopic(std::string_view text) {
    return !text.empty() && text.find_first_of("+#") == std::string_view::npos &&
           text.front() != '/' && text.back() != '/' && text.find("//") == std::string_view::npos;
}

class SectionReader {
  public:
    SectionReader(const ProblemSink &problem) : problem_(problem) {}

    static int64_t LineOf(const toml::node &node) { return node.source().begin.line; }

    void Problem(int64_t line, const std::string &key, const std::string &what) const {
        problem_(line, key, what);
    }

    void UnknownKeys(const toml::table &table, const std::string &where,
                     std::span<const char *const> known) const {
        for (auto &&[key, node] : table) {
            if (std::none_of(known.begin(), known.end(),
                             [&](const char *k) { return key.str() == k; }))
                Problem(LineOf(node), where + "." + std::string(key.str()), "unknown key");
        }
    }

    std::optional<std::string> String(const toml::table &table, const std::string &where,
                                      const char *key) const {
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

    std::optional<int64_t> Integer(const toml::table &table, const std::string &where,
                                   const char *key, int64_t low, int64_t high) const {
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

    // A file the gateway must be able to read, relative to the configuration's folder.
    std::optional<std::string> ReadableFile(const toml::table &table, const std::string &where,
                                            const char *key, const std::string &base) const {
        const auto name = String(table, where, key);
        if (!name)
            return std::nullopt;
        const std::string file = fs::absolute(fs::path(base) / *name).lexically_normal().string();
        std::error_code ec;
        if (!fs::is_regular_file(file, ec) || !std::ifstream(file).good())
            Problem(LineOf(*table.get(key)), where + "." + key, file + " is not a readable file");
        return file;
    }

  private:
    const ProblemSink &problem_;
};

void ReadBroker(const SectionReader &r, const toml::table &table, MqttConfig &mqtt) {
    const auto broker = r.String(table, "mqtt", "broker");
    if (!broker) {
        if (table.get("broker") == nullptr)
            r.Problem(SectionReader::LineOf(table), "mqtt.broker", "missing");
        return;
    }
    // host, host:port, [v6]:port
    std::string host = *broker;
    std::optional<unsigned> port = table.get("cafile") != nullptr ? kMqttTlsPort : kMqttPort;
    const size_t colon = broker->rfind(':');
    const size_t bracket = broker->rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        host = broker->substr(0, colon);
        port = Number(std::string_view(*broker).substr(colon + 1));
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || !port || *port == 0 || *port > 65535) {
        r.Problem(SectionReader::LineOf(*table.get("broker")), "mqtt.broker",
                  "expected \"HOST:PORT\", e.g. \"127.0.0.1:1883\"");
        return;
    }
    mqtt.host = host;
    mqtt.port = static_cast<uint16_t>(*port);
}

// The client certificate and the TLS version, beside `cafile`.
void ReadTls(const SectionReader &r, const toml::table &table, const std::string &base,
             MqttConfig &mqtt) {
    if (const auto file = r.ReadableFile(table, "mqtt", "certfile", base))
        mqtt.certfile = *file;
    if (const auto file = r.ReadableFile(table, "mqtt", "keyfile", base))
        mqtt.keyfile = *file;
    const char *pair[][2] = {{"certfile", "keyfile"}, {"keyfile", "certfile"}};
    for (const auto &[key, other] : pair) {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            continue;
        if (table.get(other) == nullptr)
            r.Problem(SectionReader::LineOf(*node), std::string("mqtt.") + key,
                      std::string("the client certificate needs both certfile and keyfile: ") +
                          other + " is missing");
        else if (table.get("cafile") == nullptr)
            r.Problem(SectionReader::LineOf(*node), std::string("mqtt.") + key,
                      "a client certificate is for TLS: give cafile too");
    }
    if (const toml::node *node = table.get("tls_version")) {
        const auto version = node->value_exact<std::string>();
        if (!version || (*version != "tlsv1.2" && *version != "tlsv1.3"))
            r.Problem(SectionReader::LineOf(*node), "mqtt.tls_version",
                      "expected \"tlsv1.2\" or \"tlsv1.3\" (the lowest version accepted)");
        else if (table.get("cafile") == nullptr)
            r.Problem(SectionReader::LineOf(*node), "mqtt.tls_version",
                      "TLS is used with cafile: give cafile too");
        else
            mqtt.tlsVersion = *version;
    }
}

MqttConfig ReadMqtt(const SectionReader &r, const toml::table &table, const std::string &base) {
    MqttConfig mqtt;
    mqtt.fileLine = SectionReader::LineOf(table);
    r.UnknownKeys(table, "mqtt", kMqttKeys);
    ReadBroker(r, table, mqtt);
    if (const auto id = r.String(table, "mqtt", "client_id"))
        mqtt.clientId = *id;
    if (const auto prefix = r.String(table, "mqtt", "topic_prefix")) {
        if (!IsPlainTopic(*prefix))
            r.Problem(SectionReader::LineOf(*table.get("topic_prefix")), "mqtt.topic_prefix",
                      "expected topic levels without \"+\", \"#\" or empty levels");
        mqtt.topicPrefix = *prefix;
    }
    if (const toml::node *password = table.get("password"))
        r.Problem(SectionReader::LineOf(*password), "mqtt.password",
                  "the password is never kept in the configuration: give password_file");
    if (const auto user = r.String(table, "mqtt", "username"))
        mqtt.username = *user;
    if (const auto file = r.ReadableFile(table, "mqtt", "password_file", base)) {
        mqtt.passwordFile = *file;
        if (mqtt.username.empty())
            r.Problem(SectionReader::LineOf(*table.get("password_file")), "mqtt.password_file",
                      "a password needs a username");
    }
    if (const auto file = r.ReadableFile(table, "mqtt", "cafile", base))
        mqtt.cafile = *file;
    ReadTls(r, table, base, mqtt);
    if (const auto qos = r.Integer(table, "mqtt", "qos", 0, 2))
        mqtt.qos = static_cast<int>(*qos);
    if (const auto keepalive = r.Integer(table, "mqtt", "keepalive_s", 5, kKeepaliveLimitS))
        mqtt.keepaliveS = static_cast<int>(*keepalive);
    return mqtt;
}

void ReadPoll(const SectionReader &r, const toml::table &table, size_t index, const Config &config,
              PollConfig &poll) {
    const std::string where = "poll[" + std::to_string(index + 1) + "]";
    r.UnknownKeys(table, where, kPollKeys);
    poll.fileLine = SectionReader::LineOf(table);
    std::optional<size_t> lineIndex;
    if (const auto name = r.String(table, where, "line")) {
        const auto found = std::find_if(config.lines.begin(), config.lines.end(),
                                        [&](const LineConfig &line) { return line.name == *name; });
        if (found == config.lines.end())
            r.Problem(SectionReader::LineOf(*table.get("line")), where + ".line",
                      "no [[line]] is named \"" + *name + "\"");
        else
            lineIndex = static_cast<size_t>(found - config.lines.begin());
    } else if (table.get("line") == nullptr) {
        r.Problem(poll.fileLine, where + ".line", "missing");
    }
    poll.line = lineIndex.value_or(0);
    const bool peerToPeer = lineIndex && config.lines[*lineIndex].init.empty();
    if (const auto plc = r.String(table, where, "plc")) {
        poll.fileLine = SectionReader::LineOf(*table.get("plc"));
        if (plc->size() != 2 || !IsPlainTopic(*plc) || plc->find('/') != std::string::npos)
            r.Problem(poll.fileLine, where + ".plc",
                      "expected a two-character PLC name from the init file, or \"00\"");
        else if (peerToPeer && *plc != "00")
            r.Problem(poll.fileLine, where + ".plc",
                      "line \"" + config.lines[*lineIndex].name +
                          "\" has no init file (peer to peer): the PLC is \"00\"");
        poll.plc = *plc;
    } else if (table.get("plc") == nullptr) {
        if (peerToPeer)
            poll.plc = "00";
        else if (lineIndex)
            r.Problem(poll.fileLine, where + ".plc", "missing");
    }
    if (const auto text = r.String(table, where, "registers")) {
        std::string why;
        if (const auto spec = ParseRegisterSpec(*text, why))
            poll.registers = *spec;
        else
            r.Problem(SectionReader::LineOf(*table.get("registers")), where + ".registers",
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
            r.Problem(SectionReader::LineOf(*node), where + ".publish",
                      "expected \"on_change\" or \"always\"");
    }
}

} // namespace

std::string RegisterSpec::Name(uint16_t index) const {
    switch (form) {
    case ValueForm::Pair:
        return std::to_string(first + 2 * index) + "F";
    case ValueForm::Bit:
        return std::to_string(first) + "/" + std::to_string(bit);
    case ValueForm::Register:
        break;
    }
    return std::to_string(first + index);
}

std::optional<RegisterSpec> ParseRegisterSpec(std::string_view text, std::string &why) {
    RegisterSpec spec;
    std::string_view head = text;
    std::optional<unsigned> count = 1;
    if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
        head = text.substr(0, colon);
        count = Number(text.substr(colon + 1));
        if (!count || *count == 0) {
            why = "the count after \":\" must be a number from 1";
            return std::nullopt;
        }
    }
    if (const size_t slash = head.find('/'); slash != std::string_view::npos) {
        const auto bit = Number(head.substr(slash + 1));
        if (!bit || *bit < 1 || *bit > 16) {
            why = "the bit after \"/\" must be 1 (least significant) to 16";
            return std::nullopt;
        }
        if (*count != 1) {
            why = "a bit is one value: no count";
            return std::nullopt;
        }
        spec.form = ValueForm::Bit;
        spec.bit = static_cast<uint8_t>(*bit);
        head = head.substr(0, slash);
    } else if (!head.empty() && (head.back() == 'F' || head.back() == 'f')) {
        spec.form = ValueForm::Pair;
        head.remove_suffix(1);
    }
    const auto first = Number(head);
    if (!first || *first < 1 || *first > kLastRegister) {
        why = "expected a register from 1 to 9999, e.g. \"100:8\", \"101F:2\" or \"100/3\"";
        return std::nullopt;
    }
    if (spec.form == ValueForm::Pair && *first % 2 == 0) {
        why = "a 32-bit value begins at an odd register";
        return std::nullopt;
    }
    spec.first = static_cast<uint16_t>(*first);
    spec.count = static_cast<uint16_t>(std::min(*count, kMostRegisters + 1));
    if (spec.Registers() > kMostRegisters || *count > kMostRegisters) {
        why = "one group reads at most " + std::to_string(kMostRegisters) + " registers";
        return std::nullopt;
    }
    if (spec.first + spec.Registers() - 1u > kLastRegister) {
        why = "the group reaches past register 9999";
        return std::nullopt;
    }
    return spec;
}

std::optional<RegisterSpec> ParseValueName(std::string_view text) {
    std::string why;
    if (text.find(':') != std::string_view::npos)
        return std::nullopt;
    return ParseRegisterSpec(text, why);
}

void ReadMqttSections(const toml::table &root, const std::string &base, Config &config,
                      const ProblemSink &problem) {
    const SectionReader r(problem);
    if (const toml::node *node = root.get("mqtt")) {
        if (const toml::table *table = node->as_table())
            config.mqtt = ReadMqtt(r, *table, base);
        else
            r.Problem(SectionReader::LineOf(*node), "mqtt", "expected an [mqtt] table");
    }
    if (config.mqtt) {
        for (size_t i = 0; i < config.lines.size(); ++i) {
            const std::string &name = config.lines[i].name;
            if (!name.empty() && (!IsPlainTopic(name) || name.find('/') != std::string::npos))
                r.Problem(config.lines[i].fileLine, "line[" + std::to_string(i + 1) + "].name",
                          "\"" + name + "\" is a topic level under MQTT: no \"/\", \"+\" or \"#\"");
        }
    }
    const toml::node *node = root.get("poll");
    if (node == nullptr)
        return;
    const toml::array *list = node->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
        r.Problem(SectionReader::LineOf(*node), "poll", "expected [[poll]] entries");
        return;
    }
    if (!config.mqtt)
        r.Problem(SectionReader::LineOf(*node), "poll",
                  "[[poll]] publishes to MQTT: it needs an [mqtt] table");
    std::set<std::string> topics; // line/plc/value, for groups that overlap
    size_t index = 0;
    for (const toml::node &entry : *list) {
        PollConfig poll;
        ReadPoll(r, *entry.as_table(), index, config, poll);
        const std::string where = "poll[" + std::to_string(++index) + "]";
        if (!config.lines.empty() && !poll.plc.empty()) {
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
    }
}

} // namespace vpisd::gateway
