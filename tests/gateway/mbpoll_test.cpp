// The gateway driven by mbpoll, a Modbus client written elsewhere (Debian package mbpoll).
#include <gtest/gtest.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

// mbpoll's references are 1-based: reference r is Modbus address r - 1, SY/MAX register r.
ChildResult Mbpoll(uint16_t port, std::vector<std::string> args) {
    std::vector<std::string> all{"-m", "tcp", "-p", std::to_string(port), "-a", "1", "-1", "-0"};
    all.insert(all.end(), args.begin(), args.end());
    return RunChild("mbpoll", all);
}

TEST(Mbpoll, ReadsAndWritesRegistersAndCoils) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    line.sim->SetRegister("P1", 100, 1234);
    line.sim->SetRegister("P1", 101, 0x8001);
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init) + UnitToml(1, "north", "P1"));
    const uint16_t port = gateway.port();
    // With -0 references are 0-based: mbpoll's address is the Modbus address.
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"-t", "4", "-r", "99", "-c", "2", "127.0.0.1"}, {"[99]: \t1234", "[100]: \t32769"}},
        {{"-t", "3", "-r", "99", "127.0.0.1"}, {"[99]: \t1234"}},
        {{"-t", "4", "-r", "199", "127.0.0.1", "321", "654"}, {"Written 2 references"}},
        {{"-t", "4", "-r", "199", "-c", "2", "127.0.0.1"}, {"[199]: \t321", "[200]: \t654"}},
        {{"-t", "0", "-r", "1600", "-c", "2", "127.0.0.1"}, {"[1600]: \t1", "[1601]: \t0"}},
        {{"-t", "1", "-r", "1615", "127.0.0.1"}, {"[1615]: \t1"}},
        {{"-t", "0", "-r", "1602", "127.0.0.1", "1"}, {"Written 1 references"}},
    };
    for (const Case &c : cases) {
        const ChildResult result = Mbpoll(port, c.args);
        SCOPED_TRACE(result.out + result.err);
        EXPECT_EQ(result.exitCode, 0);
        for (const std::string &text : c.expected)
            EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(line.sim->Register("P1", 200), 321);
    EXPECT_EQ(line.sim->Register("P1", 201), 654);
    EXPECT_EQ(line.sim->Register("P1", 101), 0x8005);
}

} // namespace
} // namespace vpisd::gateway::test
