// The configuration file: each mistake named by file, line and key with exit status 2, and
// --check judging the init files and the unit map through the driver without opening anything.
#include <gtest/gtest.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

ChildResult Check(const std::string &config) {
    return RunChild(VPISD_GATEWAY_PATH,
                    {"--config", config, "--lib", VPISD_LIBRARY_PATH, "--check"});
}

constexpr const char *kGoodLine = "[[line]]\nname = \"north\"\nport = \"ttyS0\"\nvpi = 1\n";
constexpr const char *kGoodUnit = "[[unit]]\nid = 1\nline = \"north\"\nplc = \"00\"\n";

TEST(Config, EachMistakeIsNamedByFileLineAndKey) {
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
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = dir.Write("gateway.toml", c.text);
        const ChildResult result = Check(path);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find(path + ":" + c.expected), std::string::npos) << result.err;
    }
}

TEST(Config, CheckJudgesInitFilesAndPlcNamesThroughTheDriver) {
    TempDir dir;
    dir.Write("plant.int", "P1=1+5\nP2=1+7\n");
    dir.Write("broken.int", "P1=1+5\nP2=1-7\n");
    const std::string good = dir.Write(
        "good.toml", "[[line]]\nname = \"north\"\nport = \"ttyS0\"\nvpi = 1\ninit = \"plant.int\"\n"
                     "[[line]]\nname = \"south\"\nport = \"ttyS1\"\nvpi = 2\n"
                     "[[unit]]\nid = 1\nline = \"north\"\nplc = \"P2\"\n"
                     "[[unit]]\nid = 2\nline = \"south\"\n");
    const ChildResult ok = Check(good);
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_NE(ok.out.find("2 lines, 2 units, good"), std::string::npos);
    // The poll groups, the broker and the HTTP endpoint too, when the file has them.
    const std::string served = dir.Write(
        "served.toml", "[[line]]\nname = \"north\"\nport = \"tcp:127.0.0.1:4001\"\nvpi = 1\n"
                       "init = \"plant.int\"\n[[unit]]\nid = 1\nline = \"north\"\nplc = \"P2\"\n"
                       "[mqtt]\nbroker = \"[::1]\"\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"1\"\n"
                       "[http]\nlisten = \"127.0.0.1:8080\"\n");
    const ChildResult summary = Check(served);
    EXPECT_EQ(summary.exitCode, 0) << summary.err;
    EXPECT_EQ(summary.out, served + ": 1 line, 1 unit, 1 poll group, MQTT to [::1]:1883, HTTP on "
                                    "127.0.0.1:8080, good\n");

    const std::string bad = dir.Write(
        "bad.toml", "[[line]]\nname = \"north\"\nport = \"ttyS0\"\nvpi = 1\ninit = \"broken.int\"\n"
                    "[[unit]]\nid = 1\nline = \"north\"\nplc = \"P1\"\n"
                    "[[unit]]\nid = 2\nline = \"north\"\nplc = \"P2\"\n"
                    "[mqtt]\nbroker = \"127.0.0.1\"\n"
                    "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"1\"\n");
    const ChildResult result = Check(bad);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(
        result.err.find(bad + ":1: line[1].init: " + dir.path() + "/broken.int: VPISD: Route"),
        std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(bad + ":13: unit[2].plc: \"P2\" is not a PLC of line \"north\""),
              std::string::npos)
        << result.err;
    // Units and poll groups are judged against the same VPI, with the same words.
    EXPECT_NE(result.err.find(bad + ":18: poll[1].plc: \"P2\" is not a PLC of line \"north\""),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("unit[1]"), std::string::npos) << result.err;
    const std::string complaint = "line[1].init: " + dir.path() + "/broken.int";
    EXPECT_EQ(result.err.find(complaint), result.err.rfind(complaint)) << "reported once";
}

// Every problem in one pass: the file's, the init file's with check-init's explanation, the
// PLC names'; a device that is not there is only a warning.
TEST(Config, CheckReportsEveryProblemInOnePass) {
    TempDir dir;
    dir.Write("broken.int", "P1=1+5\nP2=1-7\n");
    const std::string line =
        "[[line]]\nname = \"north\"\nport = \"ttyNOSUCH\"\nvpi = 1\ninit = \"broken.int\"\n";
    const std::string bad = dir.Write(
        "bad.toml", line + "[[unit]]\nid = 1\nline = \"north\"\nplc = \"P2\"\nspeed = 1\n"
                           "[mqtt]\nbroker = \"127.0.0.1\"\n"
                           "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"1-\"\n"
                           "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"1\"\n");
    const ChildResult result = Check(bad);
    EXPECT_EQ(result.exitCode, 2);
    for (const std::string &expected :
         {bad + ":10: unit[1].speed: unknown key", bad + ":9: unit[1].plc: \"P2\" is not a PLC",
          bad + ":1: line[1].init: " + dir.path() + "/broken.int: VPISD: Route",
          "warning: " + bad + ":1: line[1].port: no such device /dev/ttyNOSUCH",
          std::string(".registers: ")}) {
        EXPECT_NE(result.err.find(expected), std::string::npos) << expected << "\n" << result.err;
    }
    // check-init's explanation of the route, and no overlap made up by the invalid group.
    EXPECT_NE(result.err.find("('-' is not allowed: drops are joined with '+'"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("already polled"), std::string::npos) << result.err;

    const std::string good =
        dir.Write("good.toml", line + "[[unit]]\nid = 1\nline = \"north\"\nplc = \"P1\"\n");
    dir.Write("broken.int", "P1=1+5\n");
    const ChildResult warned = Check(good);
    EXPECT_EQ(warned.exitCode, 0) << warned.err;
    EXPECT_NE(warned.err.find("warning: " + good + ":1: line[1].port: no such device"),
              std::string::npos)
        << warned.err;
    EXPECT_NE(warned.out.find("good (1 warning)"), std::string::npos) << warned.out;
}

TEST(Config, UnreadableFilesAndLogLevels) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string expected; // on stderr
    };
    const std::string missing = dir.path() + "/none.toml";
    const Case cases[] = {
        {{"--config", missing, "--check"},
         2,
         "cannot read " + missing + ": No such file or directory"},
        {{"--config", dir.path(), "--check"},
         2,
         "cannot read " + dir.path() + ": it is a directory"},
        {{"--config", missing, "--log-level", "loud"},
         2,
         "--log-level: \"loud\" is not a level (debug, info, notice, warning, error)"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--lib", VPISD_LIBRARY_PATH});
        const ChildResult result = RunChild(VPISD_GATEWAY_PATH, args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_NE(result.err.find(c.expected), std::string::npos) << result.err;
    }
}

} // namespace
} // namespace vpisd::gateway::test
