// Polling: rounds at a rate, every tag each round, and the closing statistics.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <thread>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

TEST(Poll, CountedRoundsReadEveryTagAndSumUp) {
    SimNetwork net(kRoutedNetwork);
    net.sim().SetRegister("P1", 10, 1);
    net.sim().SetRegister("P2", 20, 2);
    const auto begin = std::chrono::steady_clock::now();
    const CliResult r =
        RunCli(net.Args({"poll", "P10010", "P20020:2", "--rounds", "3", "--interval", "300"}));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    int rounds = 0;
    int firstTag = 0;
    for (const auto &line : lines) {
        rounds += line.starts_with("-- round ") ? 1 : 0;
        firstTag += line == "P10010 = 1 (0x0001)" ? 1 : 0;
    }
    EXPECT_EQ(rounds, 3);
    EXPECT_EQ(firstTag, 3);
    EXPECT_NE(r.out.find("3 rounds, 6 requests sent, 6 replies received, 0 errors"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("0.0% loss"), std::string::npos);
    // Two pauses of 300 ms between three rounds.
    EXPECT_GE(seconds, 0.6);
}

TEST(Poll, LossCountsRequestsWithoutAnAcceptedReply) {
    SimNetwork net(kRoutedNetwork);
    net.sim().AddFault("P1 any error 3"); // every P1 request draws an error reply
    const CliResult r = RunCli(net.Args({"--format", "json", "poll", "P10001", "P20001", "-1"}));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[0].find(R"("round":1)"), std::string::npos);
    EXPECT_NE(lines[0].find(R"("status":"refused")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("status":"ok")"), std::string::npos);
    EXPECT_NE(
        lines[2].find(
            R"("requests":2,"replies":1,"errors":1,"refused":1,"noAnswer":0,"lossPercent":50.0)"),
        std::string::npos)
        << lines[2];
}

TEST(Poll, CsvStaysOneTableWithTheSummaryOnStderr) {
    SimNetwork net(kRoutedNetwork);
    const CliResult r =
        RunCli(net.Args({"--format", "csv", "poll", "P10001", "--rounds", "2", "-l", "0"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "round,time,gas,value,status");
    EXPECT_TRUE(lines[1].starts_with("1,")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("2,")) << lines[2];
    EXPECT_NE(r.err.find("poll statistics"), std::string::npos) << r.err;
}

TEST(Poll, RejectedGasStopsBeforeTheFirstRound) {
    SimNetwork net(kRoutedNetwork);
    const CliResult r = RunCli(net.Args({"poll", "P10001", "P1000117", "--rounds", "1"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.find("round"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Illegal bit number"), std::string::npos) << r.err;
}

TEST(Poll, RetriesNaksAndResponseTimesComeFromTheDriversTraces) {
    SimNetwork net(kRoutedNetwork);
    net.sim().AddFault("P1 any nak count=2"); // two tries NAKed, the third answered
    const CliResult r = RunCli(net.Args({"--format", "json", "poll", "-1", "P10001", "P20001"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[2].find(R"("requests":2,"replies":2,"errors":0)"), std::string::npos)
        << lines[2];
    EXPECT_NE(lines[2].find(R"("retries":2,"naks":2,)"), std::string::npos) << lines[2];
    std::smatch times;
    ASSERT_TRUE(std::regex_search(
        lines[2], times,
        std::regex(R"re("responseMs":\{"min":([0-9.]+),"avg":([0-9.]+),"max":([0-9.]+)\})re")))
        << lines[2];
    EXPECT_GT(std::stod(times[1]), 0.0);
    EXPECT_LE(std::stod(times[1]), std::stod(times[2]));
    EXPECT_LE(std::stod(times[2]), std::stod(times[3]));
}

TEST(Poll, CountIsValuesPerTagAndTimesCarryTheDate) {
    SimNetwork net(kRoutedNetwork);
    net.sim().SetRegister("P2", 21, 7);
    const CliResult r = RunCli(
        net.Args({"--format", "csv", "poll", "P20020", "-n", "2", "--rounds", "2", "-l", "0"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    const std::regex row(R"(2,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,P20021,7,ok)");
    EXPECT_TRUE(std::regex_match(lines[4], row)) << lines[4];
}

TEST(Poll, RepeatedInterruptWithinHalfASecondCountsOnce) {
    SimNetwork net(kRoutedNetwork);
    CliProcess poll(net.Args({"poll", "P10001", "-l", "100"}));
    ASSERT_TRUE(poll.WaitForOutput("P10001 = 0", 10000));
    // GNU timeout sends SIGINT twice; the second must not cut the statistics short.
    poll.Signal(SIGINT);
    // Sent at once, the two would merge into one pending signal: let the first be taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    poll.Signal(SIGINT);
    const CliResult r = poll.Finish(10000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("poll statistics"), std::string::npos) << r.out;
}

} // namespace
} // namespace vpisd::cli::test
