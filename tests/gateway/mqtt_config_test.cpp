// The [mqtt] and [[poll]] sections: register groups, and what `--check` reports.
#include <gtest/gtest.h>

#include "gateway/config/mqtt_config.h"
#include "gateway/mqtt/value_topic.h"
#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttConfig, RegisterGroups) {
    struct Case {
        const char *text;
        const char *names; // the topic levels of the values, or "" when refused
    };
    const Case cases[] = {
        {"100:3", "100 101 102"},
        {"100", "100"},
        {"101F:2", "101F 103F"},
        {"101f", "101F"},
        {"100/3", "100/3"},
        {"100/16", "100/16"},
        {"9999", "9999"},
        {"1:125", nullptr}, // the largest block: accepted, names not listed
        {"9997F", "9997F"},
        {"1:126", ""},  // more than one block read
        {"1F:63", ""},  // 126 registers
        {"9999:2", ""}, // past 9999
        {"9999F", ""},  // its pair reaches 10000
        {"100F", ""},   // even
        {"100/0", ""},
        {"100/17", ""},
        {"100/3:2", ""},
        {"0", ""},
        {"100:0", ""},
        {"abc", ""},
        {"100:x", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string why;
        const auto registers = ParsePollRegisters(c.text, why);
        if (c.names != nullptr && *c.names == '\0') {
            EXPECT_FALSE(registers);
            EXPECT_FALSE(why.empty());
            continue;
        }
        ASSERT_TRUE(registers) << why;
        if (c.names == nullptr)
            continue;
        std::string names;
        for (uint16_t i = 0; i < registers->count; ++i)
            names += (i == 0 ? "" : " ") + registers->Name(i);
        EXPECT_EQ(names, c.names);
        // Each name read back as a /set topic names that one value.
        const auto one = ParseValueName(registers->Name(0));
        ASSERT_TRUE(one);
        EXPECT_EQ(one->first, registers->first);
        EXPECT_EQ(one->form, registers->form);
    }
}

TEST(MqttConfig, CheckNamesEachProblem) {
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
        {mqtt + "[[poll]]\nline = \"north\"\nplc = \"P9\"\nregisters = \"1\"\n",
         "poll[1].plc: \"P9\" is not a PLC of line \"north\""},
        {poll + "registers = \"1\"\n", "poll: [[poll]] publishes to MQTT: it needs an [mqtt]"},
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
        const auto [status, output] = CheckConfig(dir, base + c.text);
        if (c.problem.empty()) {
            EXPECT_EQ(status, 0) << output;
            continue;
        }
        EXPECT_EQ(status, 2) << output;
        EXPECT_NE(output.find(c.problem), std::string::npos) << output;
    }
}

TEST(MqttConfig, EveryPollProblemOnItsKeysOwnLineInOnePass) {
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
    const auto [status, output] = CheckConfig(dir, text);
    EXPECT_EQ(status, 2);
    const std::string file = dir.path() + "/check.toml:";
    for (const char *problem :
         {"9: mqtt.certfile: ", "13: poll[1].registers: int32 takes its registers in pairs",
          "15: poll[1].scale: ", "16: poll[1].names.100: ", "21: poll[2].type: unknown type",
          "26: poll[3].word_order: a uint16 value has one word"})
        EXPECT_NE(output.find(file + problem), std::string::npos) << problem << "\n" << output;
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
