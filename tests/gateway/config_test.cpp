// --check: exit status 2 with each problem named by file, line and key, the init files and the
// unit map judged through the driver without opening anything. Reading the file's text, each
// mistake it can hold: config_reading_test.cpp.
#include <gtest/gtest.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

ChildResult Check(const std::string &config) {
    return RunChild(VPISD_GATEWAY_PATH,
                    {"--config", config, "--lib", VPISD_LIBRARY_PATH, "--check"});
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
