// Reading the configuration file's text: each mistake named by file, line and key, every
// problem of [mqtt] and [[poll]] in one pass. The file's PLC names judged through the driver,
// and what --check prints and exits with, are the process tests' (config_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "support/temp_dir.h"

namespace vpisd::gateway::test {
namespace {

using vpisd::test::TempDir;

constexpr const char *kGoodLine = "[[line]]\nname = \"north\"\nport = \"ttyS0\"\nvpi = 1\n";
constexpr const char *kGoodUnit = "[[unit]]\nid = 1\nline = \"north\"\nplc = \"00\"\n";

// The problems of `text` read as the file `name` in `dir`, one a line.
std::string Problems(const TempDir &dir, const std::string &name, const std::string &text) {
    std::vector<std::string> problems;
    ReadConfigText(text, dir.path() + "/" + name, problems);
    std::string all;
    for (const std::string &problem : problems)
        all += problem + "\n";
    return all;
}

TEST(ConfigReading, EachMistakeIsNamedByFileLineAndKey) {
    struct Case {
        std::string text;
        const char *expected; // after "FILE:"
    };
    const std::string line = kGoodLine;
    const std::string unit = kGoodUnit;
    const Case cases[] = {
        {"[gateway]\nlisten = \"nowhere\"\n" + line + unit,
         "2: gateway.listen: expected \"HOST:PORT\""},
        {"[gateway]\nmax_clients = 0\n" + line + unit,
         "2: gateway.max_clients: expected an integer from 1"},
        {"[gateway]\nallow = [\"10.0.0.0/33\"]\n" + line + unit,
         "2: gateway.allow: expected an address"},
        {"[gateway]\nread_only = \"yes\"\n" + line + unit,
         "2: gateway.read_only: expected true or false"},
        {"[gateway]\nidle_timeout_s = 86401\n" + line + unit,
         "2: gateway.idle_timeout_s: expected an integer from 0 to 86400"},
        {"[gateway]\nlisten_on = \"x\"\n" + line + unit, "2: gateway.listen_on: unknown key"},
        {"[gateway]\nlisten = \"::1:502\"\n" + line + unit,
         "2: gateway.listen: \"::1:502\": an IPv6 address goes in brackets, e.g. \"[::1]:502\""},
        {line + "baud = 115200\n" + unit, "5: line[1].baud: expected an integer from 1 to 65535"},
        {line + "parity = \"evn\"\n" + unit, "5: line[1].parity: expected \"none\""},
        {line + "stop = 3\n" + unit, "5: line[1].stop: expected 1, 1.5 or 2"},
        {line + "timeout_ms = 5\n" + unit, "5: line[1].timeout_ms: expected an integer from 10"},
        {line + "init = \"missing.int\"\n" + unit, "5: line[1].init: init file"},
        {line + "merge_gap = 128\n" + unit,
         "5: line[1].merge_gap: expected an integer from 0 to 127"},
        {line + "demote_after = 0\n" + unit,
         "5: line[1].demote_after: expected an integer from 1 to 10"},
        {line + "demote_s = 3601\n" + unit,
         "5: line[1].demote_s: expected an integer from 0 to 3600"},
        {line + "demote_max_s = 0\n" + unit,
         "5: line[1].demote_max_s: expected an integer from 1 to 86400"},
        {line + "demote_s = 60\ndemote_max_s = 30\n" + unit,
         "6: line[1].demote_max_s: must be at least demote_s (60)"},
        {line + unit + "max_age_ms = -1\n",
         "9: unit[1].max_age_ms: expected an integer from 0 to 3600000"},
        {line + unit + "refused_hold_ms = 3600001\n",
         "9: unit[1].refused_hold_ms: expected an integer from 0 to 3600000"},
        {"[[line]]\nname = \"north\"\nport = \"/dev/serial/by-id/usb-1\"\nvpi = 1\n" + unit,
         "3: line[1].port: \"/dev/serial/by-id/usb-1\" is longer than the driver's 11"},
        {"[[line]]\nname = \"north\"\nport = \"tcp:host\"\nvpi = 1\n" + unit,
         "3: line[1].port: expected \"tcp:HOST:PORT\""},
        {"[[line]]\nname = \"north\"\nport = \"tcp:::1:4001\"\nvpi = 1\n" + unit,
         "3: line[1].port: \"::1:4001\": an IPv6 address goes in brackets, e.g. \"[::1]:4001\""},
        {"[[line]]\nname = \"north\"\nvpi = 1\n" + unit, "1: line[1].port: missing"},
        {line + line + unit, "6: line[2].name: \"north\" is already the name"},
        {line + unit + "[[unit]]\nid = 1\nline = \"north\"\n",
         "10: unit[2].id: unit 1 is defined twice"},
        {line + "[[unit]]\nid = 248\nline = \"north\"\n",
         "6: unit[1].id: expected an integer from 1 to 247"},
        {line + "[[unit]]\nid = 2\nline = \"south\"\n",
         "7: unit[1].line: no [[line]] is named \"south\""},
        {line + "[[unit]]\nid = 2\nline = \"north\"\nplc = \"P1\"\n",
         "8: unit[1].plc: line \"north\" has no init file"},
        {line + "[[unit]]\nid = 2\nline = \"north\"\nspeed = 1\n", "8: unit[1].speed: unknown key"},
        {line, "1: unit: no [[unit]]"},
        {"[gateway\n", "1: syntax:"},
        {"[modbus]\n" + line + unit, "1: modbus: unknown table"},
        {"[http]\nlisten = \"8080\"\n" + line + unit, "2: http.listen: expected \"HOST:PORT\""},
        {"[http]\nallow = [\"localhost\"]\n" + line + unit, "2: http.allow: expected an address"},
        {"[http]\nport = 8080\n" + line + unit, "2: http.port: unknown key"},
        {"http = 8080\n" + line + unit, "1: http: expected an [http] table"},
    };
    TempDir dir;
    const std::string path = dir.path() + "/gateway.toml";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string problems = Problems(dir, "gateway.toml", c.text);
        EXPECT_NE(problems.find(path + ":" + c.expected), std::string::npos) << problems;
    }
}

TEST(ConfigReading, MqttAndPollProblems) {
    TempDir dir;
    dir.Write("plant.int", "P1=1+5\n");
    dir.Write("password.txt", "secret\n");
    const std::string base = "[[line]]\nname = \"north\"\nport = \"ttyS0\"\nvpi = 1\n"
                             "init = \"plant.int\"\n[[unit]]\nid = 1\nline = \"north\"\n"
                             "plc = \"P1\"\n";
    const std::string mqtt = "[mqtt]\nbroker = \"127.0.0.1:1883\"\n";
    const std::string poll = "[[poll]]\nline = \"north\"\nplc = \"P1\"\n";
    struct Case {
        std::string text;
        std::string problem; // empty for a good file
    };
    const Case cases[] = {
        {mqtt + "username = \"u\"\npassword_file = \"password.txt\"\n" + poll +
             "registers = \"100:8\"\n",
         ""},
        {mqtt + "username = \"u\"\npassword_file = \"missing.txt\"\n",
         "mqtt.password_file: " + dir.path() + "/missing.txt is not a readable file"},
        {mqtt + "password_file = \"password.txt\"\n", "mqtt.password_file: a password needs"},
        {mqtt + "username = \"u\"\npassword = \"secret\"\n",
         "mqtt.password: the password is never"},
        {mqtt + "cafile = \"ca.pem\"\n", "mqtt.cafile:"},
        {mqtt + "cafile = \"password.txt\"\ncertfile = \"password.txt\"\n",
         "check.toml:13: mqtt.certfile: the client certificate needs both certfile and keyfile: "
         "keyfile is missing"},
        {mqtt + "cafile = \"password.txt\"\nkeyfile = \"password.txt\"\n",
         "check.toml:13: mqtt.keyfile: the client certificate needs both"},
        {mqtt + "certfile = \"password.txt\"\nkeyfile = \"password.txt\"\n",
         "check.toml:12: mqtt.certfile: a client certificate is for TLS: give cafile too"},
        {mqtt + "cafile = \"password.txt\"\ntls_version = \"tlsv1.1\"\n",
         "check.toml:13: mqtt.tls_version: expected \"tlsv1.2\" or \"tlsv1.3\""},
        {mqtt + "tls_version = \"tlsv1.3\"\n", "mqtt.tls_version: TLS is used with cafile"},
        {mqtt + "cafile = \"password.txt\"\ncertfile = \"password.txt\"\n"
                "keyfile = \"password.txt\"\ntls_version = \"tlsv1.3\"\n",
         ""},
        {mqtt + "qos = 3\n", "mqtt.qos: expected an integer from 0 to 2"},
        {"[mqtt]\nbroker = \"127.0.0.1:99999\"\n", "mqtt.broker: expected \"HOST:PORT\""},
        {"[mqtt]\nclient_id = \"x\"\n", "mqtt.broker: missing"},
        {"[mqtt]\nbroker = \"::1:1883\"\n",
         "mqtt.broker: \"::1:1883\": an IPv6 address goes in brackets"},
        {"[mqtt]\nbroker = \"[::1]\"\n", ""},
        {mqtt + "topic_prefix = \"plant/+\"\n", "mqtt.topic_prefix:"},
        {mqtt + "qos = 1\nretain = true\n", "mqtt.retain: unknown key"},
        {mqtt + poll + "registers = \"100F\"\n", "poll[1].registers: \"100F\": a 32-bit value"},
        {mqtt + poll + "registers = \"9999:2\"\n", "poll[1].registers: \"9999:2\": the group"},
        {mqtt + poll + "registers = \"1\"\npublish = \"sometimes\"\n",
         "poll[1].publish: expected \"on_change\" or \"always\""},
        {mqtt + poll + "registers = \"1\"\ninterval_ms = 0\n", "poll[1].interval_ms:"},
        {mqtt + poll + "registers = \"1:2\"\n" + poll + "registers = \"2\"\n",
         "poll[2].registers: north/P1/2 is already polled"},
        {mqtt + "[[poll]]\nline = \"south\"\nplc = \"P1\"\nregisters = \"1\"\n",
         "poll[1].line: no [[line]] is named \"south\""},
        {poll + "registers = \"1\"\n",
         "poll: [[poll]] publishes to MQTT: it needs an [mqtt] or a [sparkplug] table"},
        {"[sparkplug]\nbroker = \"127.0.0.1\"\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\n" +
             poll + "registers = \"1\"\n",
         ""},
        {"[sparkplug]\nbroker = \"127.0.0.1\"\ngroup_id = \"plant\"\n",
         "sparkplug.edge_node_id: missing"},
        {"[sparkplug]\nbroker = \"127.0.0.1\"\ngroup_id = \"pl/ant\"\nedge_node_id = \"gw#\"\n"
         "primary_host_id = \"\"\n",
         "sparkplug.group_id: expected a Sparkplug id: not empty, no \"+\", \"#\" or \"/\""},
        {"[sparkplug]\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\npassword = \"x\"\n",
         "sparkplug.broker: missing"},
        {"[sparkplug]\nbroker = \"127.0.0.1\"\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\n"
         "tls_version = \"tlsv1.3\"\n",
         "sparkplug.tls_version: TLS is used with cafile"},
        {"[[line]]\nname = \"so+uth\"\nport = \"ttyS1\"\nvpi = 2\n" + mqtt,
         "line[2].name: \"so+uth\" is a topic level under MQTT"},
        {mqtt + "discovery_prefix = \"homeassistant\"\n" + poll +
             "registers = \"100:4\"\ntype = \"float32\"\nword_order = \"low_first\"\n"
             "scale = 0.5\noffset = -3\ndeadband = 0.25\nunit_of_measurement = \"bar\"\n"
             "device_class = \"pressure\"\nnames = { \"100\" = \"line/pressure\" }\n",
         ""},
        {mqtt + poll + "registers = \"100\"\ntype = \"real\"\n",
         "check.toml:16: poll[1].type: unknown type: expected uint16, int16, uint32, int32, "
         "float32 or bit"},
        {mqtt + poll + "registers = \"100/3\"\ntype = \"int16\"\n",
         "poll[1].type: a bit of a register (\"100/3\") is of type \"bit\""},
        {mqtt + poll + "registers = \"100\"\ntype = \"bit\"\n", "poll[1].type: type \"bit\" takes"},
        {mqtt + poll + "registers = \"101F\"\ntype = \"int16\"\n",
         "poll[1].type: a register pair (\"101F\") holds a 32-bit value"},
        {mqtt + poll + "registers = \"100\"\ntype = \"int16\"\nword_order = \"low_first\"\n",
         "check.toml:17: poll[1].word_order: an int16 value has one word"},
        {mqtt + poll + "registers = \"101F\"\nword_order = \"middle\"\n",
         "poll[1].word_order: expected \"high_first\" or \"low_first\""},
        {mqtt + poll + "registers = \"100:3\"\ntype = \"int32\"\n",
         "check.toml:15: poll[1].registers: int32 takes its registers in pairs: give an even "
         "count"},
        {mqtt + poll + "registers = \"100\"\nscale = 0\n", "check.toml:16: poll[1].scale: 0 would"},
        {mqtt + poll + "registers = \"100\"\noffset = \"x\"\n",
         "poll[1].offset: expected a number"},
        {mqtt + poll + "registers = \"100\"\ndeadband = -1\n",
         "poll[1].deadband: expected a number"},
        {mqtt + poll + "registers = \"100:2\"\nnames = { \"102\" = \"x\" }\n",
         "poll[1].names.102: not a value of this group (its values are 100 to 101)"},
        {mqtt + poll + "registers = \"100:2\"\nnames = { \"100\" = \"tank/+\" }\n",
         "poll[1].names.100: \"tank/+\": expected topic levels without"},
        {mqtt + poll + "registers = \"100:2\"\nnames = { \"100\" = \"a/#\" }\n",
         "poll[1].names.100: \"a/#\""},
        {mqtt + poll + "registers = \"100:2\"\nnames = { \"100\" = \"101\" }\n",
         "poll[1].names.100: \"101\" is already the key or name of another value of P1"},
        {mqtt + poll + "registers = \"100:2\"\nnames = { \"100\" = \"t\", \"101\" = \"t\" }\n",
         "poll[1].names.101: \"t\" is already the key or name"},
        {mqtt + poll + "registers = \"100\"\nnames = { \"100\" = \"t\" }\n" + poll +
             "registers = \"101\"\nnames = { \"101\" = \"t\" }\n",
         "poll[2].names.101: \"t\" is already the key or name"},
        {mqtt + poll + "registers = \"100\"\nnames = { \"100\" = \"105\" }\n" + poll +
             "registers = \"105\"\n",
         "poll[2].registers: north/P1/105 is already polled or named by an earlier group"},
        {mqtt + poll + "registers = \"100\"\nnames = { \"100\" = \"pump/set\" }\n",
         "a level \"set\" would read as a command topic"},
        {mqtt + poll + "registers = \"100\"\nnames = { \"100\" = \"route\" }\n",
         "poll[1].names.100: \"route\": \"route\" is the topic"},
        {mqtt + "discovery_prefix = \"ha/#\"\n", "mqtt.discovery_prefix: expected topic levels"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string problems = Problems(dir, "check.toml", base + c.text);
        if (c.problem.empty())
            EXPECT_EQ(problems, "");
        else
            EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
}

TEST(ConfigReading, EveryPollProblemOnItsKeysOwnLineInOnePass) {
    TempDir dir;
    dir.Write("plant.int", "P1=1+5\n");
    dir.Write("password.txt", "secret\n");
    const std::string text = "[[line]]\n"                      // 1
                             "name = \"north\"\n"              // 2
                             "port = \"ttyS0\"\n"              // 3
                             "vpi = 1\n"                       // 4
                             "init = \"plant.int\"\n"          // 5
                             "[mqtt]\n"                        // 6
                             "broker = \"127.0.0.1\"\n"        // 7
                             "cafile = \"password.txt\"\n"     // 8
                             "certfile = \"password.txt\"\n"   // 9
                             "[[poll]]\n"                      // 10
                             "line = \"north\"\n"              // 11
                             "plc = \"P1\"\n"                  // 12
                             "registers = \"100:3\"\n"         // 13
                             "type = \"int32\"\n"              // 14
                             "scale = 0\n"                     // 15
                             "names = { \"100\" = \"a+b\" }\n" // 16
                             "[[poll]]\n"                      // 17
                             "line = \"north\"\n"              // 18
                             "plc = \"P1\"\n"                  // 19
                             "registers = \"200\"\n"           // 20
                             "type = \"int8\"\n"               // 21
                             "[[poll]]\n"                      // 22
                             "line = \"north\"\n"              // 23
                             "plc = \"P1\"\n"                  // 24
                             "registers = \"300\"\n"           // 25
                             "word_order = \"low_first\"\n";   // 26
    const std::string problems = Problems(dir, "check.toml", text);
    const std::string file = dir.path() + "/check.toml:";
    for (const char *problem :
         {"9: mqtt.certfile: ", "13: poll[1].registers: int32 takes its registers in pairs",
          "15: poll[1].scale: ", "16: poll[1].names.100: ", "21: poll[2].type: unknown type",
          "26: poll[3].word_order: a uint16 value has one word"})
        EXPECT_NE(problems.find(file + problem), std::string::npos) << problem << "\n" << problems;
}

} // namespace
} // namespace vpisd::gateway::test
