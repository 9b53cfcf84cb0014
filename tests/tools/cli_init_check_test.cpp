// Init-file mistakes told to the operator: check-init line by line, the driver's start messages
// with file and line, and a GAS whose PLC the file does not name.
#include <gtest/gtest.h>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

struct CheckCase {
    std::string content;
    int exitCode;
    std::vector<const char *> expected; // lines or parts of lines of the report
};

TEST(CheckInit, EveryLineAndEveryProblemExplained) {
    std::string hundred;
    for (int i = 1; i <= 100; ++i)
        hundred += "P1=1+5\n";
    const CheckCase cases[] = {
        {"P1=1+5,2+5\nP2 = 10 + 255\r\n",
         0,
         {"line 1: P1  normal 1+5  backup 2+5", "line 2: P2  normal 10+255",
          "the driver loads every line as written"}},
        {"AB=7\n", 1, {"a one-drop route needs three digits: write AB=007"}},
        {"P1=1+5,7\n", 1, {"a one-drop backup route needs three digits: write ,007"}},
        {"P1=1+5 # main line\n", 1, {"line 1: problem: '#' is not allowed: comments are not"}},
        {"P1=1+5\n\nP2=1+7\n", 1, {"line 2: problem: a blank line ends the file"}},
        {"P1=1+5\nP2=1+7", 1, {"line 2: problem: the last line has no line feed"}},
        {"P4=257\n", 1, {"drop '257' in the normal route is not in 1 to 255"}},
        {"P4=1+0012\n", 1, {"drop '0012' in the normal route is not in 1 to 255"}},
        {"P1=1+2+3+4+5+6+7+8+9\n", 1, {"more than 8 drops in the normal route"}},
        {"P1=1+5,2+44\n", 1, {"drop 44 cannot stand in a backup route"}},
        {"1A=1+5\n", 1, {"the PLC name must begin with a letter"}},
        // No drops: the driver keeps the PLC, and its frames carry no route.
        {"P1=\n",
         1,
         {"line 1: P1  normal (empty: the driver keeps P1, its tags go with no route)",
          "no drops after '='"}},
        {hundred, 1, {"line 100: problem: more than 99 lines"}},
        {"P1=1+5" + std::string(61, ' ') + "\n", 1, {"longer than 66 characters"}},
        {"P1=1+5" + std::string(60, ' ') + "\n", 0, {"line 1: P1  normal 1+5"}},
        {"p1=1+5\n", 0, {"note: the name p1 has a lower-case letter"}},
        {"P1=1+5\nP1=1+7\n", 0, {"note: the name P1 is also on line 1"}},
    };
    TempDir dir;
    for (const auto &c : cases) {
        const std::string file = dir.Write("plant.int", c.content);
        const CliResult r = RunCli({"check-init", file});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.content << r.out << r.err;
        for (const char *part : c.expected)
            EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    }
    EXPECT_EQ(RunCli({"check-init", dir.path() + "/none.int"}).exitCode, 4);
}

class StartMessages : public ::testing::Test {
  protected:
    SimNetwork net{kRoutedNetwork};
    TempDir routes;

    CliResult Read(const std::string &init, const std::string &gas, const std::string &cwd = "") {
        std::vector<std::string> args{"--lib",    VPISD_LIBRARY_PATH, "--port",
                                      net.port(), "--timeout",        "200"};
        if (!init.empty()) {
            args.push_back("--init");
            args.push_back(init);
        }
        args.push_back("read");
        args.push_back(gas);
        return RunCli(args, 60000, cwd);
    }
};

TEST_F(StartMessages, InitFileProblemsAreShownWithFileAndLineWithoutVerbose) {
    const std::pair<std::string, const char *> cases[] = {
        {"P1=1+5,2+5\nAB=7\nP2=1+7\n",
         " line 2: VpiSD :VPI 1 Line 2 in Init File is illegal (a one-drop route needs three "
         "digits: write AB=007)"},
        {"P1=1+5,2+5\nP2=1+7 # second\n",
         " line 2: VPISD: Route P2=1+7, Illegal character ('#' is not allowed: comments"},
        {"P1=1+5,2+5\nP2=1+7\n\nP3=1+9\n", " line 3: a blank line ends the file"},
        {"P1=1+5,2+5\nP2=1+7\nP3=1" + std::string(70, ' ') + "\n",
         " line 3: VPISD: Route P3=1 too long in Init File (the line is longer than 66"},
    };
    for (const auto &[content, message] : cases) {
        const std::string file = routes.Write("plant.int", content);
        const CliResult r = Read(file, "P10001");
        EXPECT_EQ(r.exitCode, 0) << content << r.err;
        EXPECT_NE(r.err.find(file + message), std::string::npos) << r.err;
    }
}

TEST_F(StartMessages, UnknownPlcNamesTheFileAndItsPlcs) {
    const CliResult r = Read(net.initPath(), "P30001");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("P3 is not in " + net.initPath() + " (its PLCs: P1, P2)"),
              std::string::npos)
        << r.err;

    routes.Write("lower.int", "p1=1+5,2+5\n");
    const CliResult lower = Read(routes.path() + "/lower.int", "P10001");
    EXPECT_EQ(lower.exitCode, 1);
    EXPECT_NE(lower.err.find("names it p1: tags are upper-cased"), std::string::npos) << lower.err;
}

TEST_F(StartMessages, WithoutInitFilePeerToPeerIsExplained) {
    const CliResult r = Read("", "P10001", routes.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("peer to peer: every tag begins with 00"), std::string::npos) << r.err;
}

TEST_F(StartMessages, InitFileFromTheCurrentDirectoryIsNamed) {
    routes.Write("vpiSD01.int", "P2=1+7\n");
    const CliResult r = Read("", "P20001", routes.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("routes from " + routes.path() +
                         "/vpiSD01.int, found in the current "
                         "directory"),
              std::string::npos)
        << r.err;
}

} // namespace
} // namespace vpisd::cli::test
