// Reads and writes through the tool against simulated PLCs: every GAS form, the placement of
// values, and what reaches the PLC's registers.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

class ReadWrite : public ::testing::Test {
  protected:
    SimNetwork net{kRoutedNetwork};
    vpisd::sim::Simulator &sim = net.sim();

    CliResult Run(const std::vector<std::string> &extra) { return RunCli(net.Args(extra)); }
};

// Each case's registers are set before its read; no case reads registers an earlier one set.
TEST_F(ReadWrite, ReadsNameEachValueAsThePlcHoldsIt) {
    struct Case {
        std::vector<std::tuple<const char *, unsigned, uint16_t>> registers; // PLC, register, value
        std::vector<std::string> args;
        std::vector<std::string> rows; // after the header
    };
    const Case cases[] = {
        {{{"P1", 100, 4660}}, {"read", "P10100"}, {"P10100,4660,ok"}},
        // A block names each register in order.
        {{{"P2", 300, 11}, {"P2", 301, 22}, {"P2", 302, 33}, {"P2", 303, 44}},
         {"read", "p20300", "--count", "4"},
         {"P20300,11,ok", "P20301,22,ok", "P20302,33,ok", "P20303,44,ok"}},
        // A block of pairs names every odd register: 104 is the low word of pair 103-104.
        {{{"P1", 104, 7}}, {"read", "P10101F:3"}, {"P10101F,0,ok", "P10103F,7,ok", "P10105F,0,ok"}},
        // Pairs follow the chosen word order.
        {{{"P1", 101, 0x1234}, {"P1", 102, 0x5678}}, {"read", "P10101F"}, {"P10101F,305419896,ok"}},
        {{}, {"--word-order", "low-first", "read", "P10101F"}, {"P10101F,1450709556,ok"}},
        // -123456 high word first.
        {{{"P1", 301, 0xFFFE}, {"P1", 302, 0x1DC0}},
         {"--signed", "read", "P10301F"},
         {"P10301F,-123456,ok"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        for (const auto &[plc, reg, value] : c.registers)
            sim.SetRegister(plc, reg, value);
        std::vector<std::string> args{"--format", "csv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult r = Run(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::string> rows{"gas,value,status"};
        rows.insert(rows.end(), c.rows.begin(), c.rows.end());
        EXPECT_EQ(Lines(r.out), rows);
    }
}

TEST_F(ReadWrite, WritesReachThePlcRegisters) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<unsigned, uint16_t>> registers; // of P1 afterwards
    };
    const Case cases[] = {
        // Nothing beyond the block.
        {{"write", "P10200", "1", "0x20", "-1"}, {{200, 1}, {201, 0x20}, {202, 0xFFFF}, {203, 0}}},
        // A pair splits into two registers: -123456 is 0xFFFE1DC0.
        {{"write", "P10301F", "-123456"}, {{301, 0xFFFE}, {302, 0x1DC0}}},
        {{"--word-order", "low-first", "write", "P10303F", "0x10002"}, {{303, 2}, {304, 1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 2]);
        const CliResult r = Run(c.args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const auto &[reg, value] : c.registers)
            EXPECT_EQ(sim.Register("P1", reg), value) << "register " << reg;
    }
}

TEST_F(ReadWrite, BitWritesChangeOnlyTheirBit) {
    sim.SetRegister("P1", 100, 0x00F0);
    ASSERT_EQ(Run({"write", "P1010001", "1"}).exitCode, 0);
    EXPECT_EQ(sim.Register("P1", 100), 0x00F1);
    ASSERT_EQ(Run({"write", "P1010005", "0"}).exitCode, 0);
    EXPECT_EQ(sim.Register("P1", 100), 0x00E1);
    ASSERT_EQ(Run({"write", "P1010016", "1"}).exitCode, 0);
    EXPECT_EQ(sim.Register("P1", 100), 0x80E1);

    const CliResult r = Run({"--format", "csv", "read", "P1010016", "P1010002"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"gas,value,status", "P1010016,1,ok", "P1010002,0,ok"}));
}

TEST_F(ReadWrite, RouteSelectionReadsWithoutTraffic) {
    const auto framesBefore = sim.GetStats().Get("frames");
    const CliResult r = Run({"read", "P1!ROUTE"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "P1!ROUTE = 0 (normal route)\n");
    EXPECT_EQ(sim.GetStats().Get("frames"), framesBefore);
    EXPECT_EQ(Run({"write", "P1!ROUTE", "1"}).exitCode, 0);
}

TEST_F(ReadWrite, JsonCarriesOneObjectPerTag) {
    sim.SetRegister("P2", 10, 5);
    const CliResult r = Run({"--format", "json", "read", "P20010", "P2!ROUTE"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(
        Lines(r.out),
        (std::vector<std::string>{
            R"({"gas":"P20010","operation":"read","status":"ok","values":[{"gas":"P20010","value":5}]})",
            R"({"gas":"P2!ROUTE","operation":"read","status":"ok","values":[{"gas":"P2!ROUTE","value":0}]})"}));
}

TEST_F(ReadWrite, RejectedGasStopsNothingElseAndExitsOne) {
    sim.SetRegister("P1", 1, 9);
    const CliResult r = Run({"--format", "csv", "read", "P90001", "P10001", "P10002F"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"gas,value,status", "P90001,,bad GAS",
                                                      "P10001,9,ok", "P10002F,,bad GAS"}));
    // The driver's own reasons reach the user without -v.
    EXPECT_NE(r.err.find("Invalid Route. GAS=P90001"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Address should be ODD"), std::string::npos) << r.err;
}

TEST_F(ReadWrite, ErrorReplyFromThePlcIsARefusal) {
    // The simulated PLCs have 9999 registers; a block past the end draws an error reply.
    const CliResult r = Run({"read", "P19990", "--count", "20"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("refused"), std::string::npos);
    EXPECT_NE(r.err.find("Read Failed!"), std::string::npos) << r.err;
}

// A write refused by the PLC on every try was not applied; one whose replies answered an earlier
// request (a stale sequence byte, as a late reply looks) landed while the driver tried again, so
// its outcome is unknown: no answer, never refused.
TEST_F(ReadWrite, WriteIsRefusedOnlyWhenThePlcRefusedEveryTry) {
    struct Case {
        const char *fault;
        int exitCode;
        const char *status;
        uint16_t landed;
    };
    const Case cases[] = {
        {"fault P1 any error 03", 1, "refused", 0},
        {"fault P1 any stale", 2, "no answer", 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        sim.SetRegister("P1", 100, 0);
        ASSERT_EQ(sim.Control(c.fault).rfind("OK", 0), 0u);
        const CliResult r = Run({"--format", "csv", "write", "P10100", "7"});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.out.find(c.status), std::string::npos) << r.out;
        sim.ClearFaults();
        EXPECT_EQ(sim.Register("P1", 100), c.landed);
    }
}

TEST_F(ReadWrite, BadValuesAreUsageErrorsAndSendNothing) {
    sim.SetRegister("P1", 100, 77);
    EXPECT_EQ(Run({"write", "P10100", "65536"}).exitCode, 4);
    EXPECT_EQ(Run({"write", "P10100", "-32769"}).exitCode, 4);
    EXPECT_EQ(Run({"write", "P10100", "12abc"}).exitCode, 4);
    EXPECT_EQ(Run({"write", "P1010001", "2"}).exitCode, 4);
    EXPECT_EQ(Run({"write", "P1010001", "1", "0"}).exitCode, 4);
    EXPECT_EQ(Run({"write", "P10101F", "4294967296"}).exitCode, 4);
    EXPECT_EQ(sim.Register("P1", 100), 77);
    EXPECT_EQ(sim.GetStats().Get("writes"), 0u);
}

TEST_F(ReadWrite, FloatsSitInAPairInTheChosenWordOrder) {
    // 3.14f is 0x4048F5C3; -0.5f is 0xBF000000.
    ASSERT_EQ(Run({"--type", "float", "write", "P10101F", "3.14"}).exitCode, 0);
    EXPECT_EQ(sim.Register("P1", 101), 0x4048);
    EXPECT_EQ(sim.Register("P1", 102), 0xF5C3);
    ASSERT_EQ(
        Run({"--type", "float", "--word-order", "low-first", "write", "P10103F", "-0.5"}).exitCode,
        0);
    EXPECT_EQ(sim.Register("P1", 103), 0x0000);
    EXPECT_EQ(sim.Register("P1", 104), 0xBF00);

    const CliResult text = Run({"--type", "float", "read", "P10101F"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "P10101F = 3.14 (0x4048F5C3)\n");
    const CliResult json =
        Run({"--type", "float", "--word-order", "low-first", "-f", "json", "read", "P10103F"});
    EXPECT_NE(json.out.find(R"("value":-0.5})"), std::string::npos) << json.out;
    EXPECT_EQ(Run({"--type", "float", "write", "P10101F", "3,14"}).exitCode, 4);
}

TEST_F(ReadWrite, TypeNamesApplyToTheTagsOfTheirWidth) {
    sim.SetRegister("P1", 100, 0xFFFE);
    sim.SetRegister("P1", 101, 0xFFFF); // P10101F: 0xFFFFFFFE high word first
    sim.SetRegister("P1", 102, 0xFFFE);
    sim.SetRegister("P1", 103, 0x4148); // P10103F: 12.5f
    sim.SetRegister("P1", 104, 0x0000);
    struct Case {
        const char *type;
        const char *values; // of P10100, P10101F and P10103F, "-f csv" rows
    };
    const Case cases[] = {
        {"int", "65534 4294967294 1095237632"},
        {"int16", "-2 4294967294 1095237632"},
        {"uint16", "65534 4294967294 1095237632"},
        {"int32", "65534 -2 1095237632"},
        {"uint32", "65534 4294967294 1095237632"},
        {"float32", "65534 nan 12.5"},
        {"FLOAT", "65534 nan 12.5"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        const CliResult r = Run({"--type", c.type, "read", "P10100", "P10101F", "P10103F"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::string values;
        for (const std::string &line : Lines(r.out)) {
            const size_t equals = line.find(" = ");
            values += (values.empty() ? "" : " ") +
                      line.substr(equals + 3, line.find(' ', equals + 3) - equals - 3);
        }
        EXPECT_EQ(values, c.values);
    }
    EXPECT_EQ(Run({"--type", "int8", "read", "P10100"}).exitCode, 4);
}

TEST_F(ReadWrite, HexColumnInCsvAndJson) {
    sim.SetRegister("P1", 100, 0x1234);
    sim.SetRegister("P1", 101, 0x0001);
    sim.SetRegister("P1", 102, 0x0002);
    const CliResult csv = Run({"--hex", "--format", "csv", "read", "P10100", "P10101F"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(Lines(csv.out),
              (std::vector<std::string>{"gas,value,hex,status", "P10100,4660,0x1234,ok",
                                        "P10101F,65538,0x00010002,ok"}));
    const CliResult json = Run({"--hex", "--format", "json", "read", "P10100"});
    EXPECT_NE(json.out.find(R"({"gas":"P10100","value":4660,"hex":"0x1234"})"), std::string::npos)
        << json.out;
}

TEST_F(ReadWrite, JsonFailureCarriesTheReason) {
    sim.AddFault("P2 any error 3");
    const CliResult r = Run({"--format", "json", "read", "P20001", "P90001"});
    EXPECT_EQ(r.exitCode, 1);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_NE(lines[0].find(R"("status":"refused","values":[],"reason":"VPISD: )"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("Read Failed! GAS = P20001 rc = 1"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(R"("reason":"P9 is not in )"), std::string::npos) << lines[1];
}

} // namespace
} // namespace vpisd::cli::test
