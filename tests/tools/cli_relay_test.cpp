// The tool's relay between the driver and the real port: the wire trace, device paths longer
// than the driver's 11 characters, and rates beyond its 16-bit baud field.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

TEST(Relay, TraceShowsBothDirectionsAndTheValueStillArrives) {
    SimNetwork net(kDirectNetwork);
    net.sim().SetRegister("P0", 100, 0x1234);
    const CliResult r = RunCli(net.Args({"--trace", "read", "000100"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "000100 = 4660 (0x1234)\n");
    // The enquiry, the PLC's answer and the request frame for register 100 (offset 0x00C6).
    EXPECT_NE(r.err.find(">> FE FE FE FE FE FE FE FE FE FE 10 05"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("<< 10 12"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" 10 02 00 00 00 C6 00 00 10 03"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" 86 00 00 00 12 34 10 03"), std::string::npos) << r.err;
}

TEST(Relay, LongDevicePathIsRelayedWithoutTrace) {
    SimNetwork net(kDirectNetwork);
    net.sim().SetRegister("P0", 7, 99);
    const std::string link = net.dir().path() + "/a-rather-long-port-name";
    std::filesystem::create_symlink(net.port(), link);
    ASSERT_GT(link.size(), 11u);
    const CliResult r = RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", link, "--timeout", "200",
                                "write", "000007", "100"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(net.sim().Register("P0", 7), 100);
    EXPECT_EQ(r.err.find(">>"), std::string::npos) << "traced without --trace: " << r.err;
}

TEST(Relay, RateAboveTheDriversFieldRunsOnTheRelay) {
    SimNetwork net(kDirectNetwork);
    net.sim().SetRegister("P0", 1, 5);
    const CliResult r = RunCli(net.Args({"--baud", "115200", "read", "000001"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "000001 = 5 (0x0005)\n");
}

TEST(Relay, NothingToRelayOnTheNullPort) {
    const CliResult r =
        RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", "NUL", "--trace", "read", "000001"});
    EXPECT_EQ(r.exitCode, 4);
}

} // namespace
} // namespace vpisd::cli::test
