// Where the tool finds the routes: an init file given by path, a directory holding one under
// the driver's names, or the current directory; and that its private directory goes away.
#include <gtest/gtest.h>
#include <signal.h>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

class InitFile : public ::testing::Test {
  protected:
    SimNetwork net{kRoutedNetwork};
    TempDir tmp; // the tool's TMPDIR: its private directory must not outlive it
    TempDir routes;

    void SetUp() override { net.sim().SetRegister("P2", 1, 21); }
    CliResult Run(const std::vector<std::string> &args, const std::string &cwd = "") {
        return RunCli(args, 60000, cwd, tmp.path());
    }
    std::vector<std::string> Base() const {
        return {"--lib", VPISD_LIBRARY_PATH, "--port", net.port(), "--timeout", "200"};
    }
    static std::vector<std::string> With(std::vector<std::string> args,
                                         const std::vector<std::string> &more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
};

TEST_F(InitFile, FileByPathIsLoadedWhateverItsName) {
    const std::string file = routes.Write("anything.txt", "P1=1+5,2+5\nP2=1+7\n");
    const CliResult r = Run(With(Base(), {"--init", file, "read", "P20001"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "P20001 = 21 (0x0015)\n");
    EXPECT_TRUE(tmp.List().empty());
}

TEST_F(InitFile, DirectoryOffersTheNumberedFileBeforeTheOlderName) {
    routes.Write("vpiSD07.int", "P2=1+7\n");
    routes.Write("vpiSD.int", "Q1=1+5\n");
    const CliResult r =
        Run(With(Base(), {"--init", routes.path(), "--vpi", "7", "read", "P20001"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "P20001 = 21 (0x0015)\n");
    // VPI 8 has no numbered file there and gets the older shared one.
    const CliResult older =
        Run(With(Base(), {"--init", routes.path(), "--vpi", "8", "read", "P20001"}));
    EXPECT_EQ(older.exitCode, 1) << older.err;
    EXPECT_NE(older.err.find("Invalid Route"), std::string::npos) << older.err;
    // The driver's word about the older name comes with the file it concerns.
    EXPECT_NE(older.err.find(routes.path() + "/vpiSD.int: VPISD: An older version init file"),
              std::string::npos)
        << older.err;
}

TEST_F(InitFile, CurrentDirectoryServesWithoutTheOption) {
    routes.Write("vpiSD01.int", "P2=1+7\n");
    const CliResult r = Run(With(Base(), {"read", "P20001"}), routes.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "P20001 = 21 (0x0015)\n");
    EXPECT_EQ(routes.List().size(), 1u); // the user's directory is left as it was
}

TEST_F(InitFile, NoInitFileMeansPeerToPeerPrefix) {
    const CliResult r = Run(With(Base(), {"read", "P20001"}), routes.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Peer To Peer Mode"), std::string::npos) << r.err;
}

TEST_F(InitFile, MissingFileOrEmptyDirectoryIsAUsageError) {
    EXPECT_EQ(Run(With(Base(), {"--init", routes.path() + "/none.int", "read", "P20001"})).exitCode,
              4);
    EXPECT_EQ(Run(With(Base(), {"--init", routes.path(), "read", "P20001"})).exitCode, 4);
    EXPECT_TRUE(tmp.List().empty());
}

TEST_F(InitFile, InterruptedPollStillRemovesThePrivateDirectory) {
    CliProcess poll(With(Base(), {"--init", net.initPath(), "poll", "P20001", "--interval", "100"}),
                    "", tmp.path());
    ASSERT_TRUE(poll.WaitForOutput("P20001 = 21", 10000));
    EXPECT_EQ(tmp.List().size(), 1u); // while it runs, its directory is there
    poll.Signal(SIGINT);
    const CliResult r = poll.Finish(10000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("poll statistics"), std::string::npos) << r.out;
    EXPECT_TRUE(tmp.List().empty());
}

} // namespace
} // namespace vpisd::cli::test
