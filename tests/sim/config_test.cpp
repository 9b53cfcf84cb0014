// The network file, PLC flags, validation and the driver init file written from them.
#include "sim/config.h"
#include "sim/error.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

constexpr const char *kNetwork = R"(# two PLCs behind one interface, one direct
[line]
baud = 9600   ; paced
bits = 10
enquiry = 15
seed = 7
max_words = 64
turnaround_ms = 5

[plc P1]
route = 1+5
backup = 2+5
registers = 2000
100 = 0x1234
200 = 1 2 0x10
down = normal

[ plc P0 ]
direct = yes
)";

TEST(NetworkFile, EveryKeyIsRead) {
    const NetworkConfig config = ParseNetwork(kNetwork);
    EXPECT_EQ(config.baud, 9600u);
    EXPECT_EQ(config.bitsPerChar, 10u);
    EXPECT_EQ(config.enquiryAnswer, 0x15);
    EXPECT_EQ(config.seed, 7u);
    EXPECT_EQ(config.maxWords, 64u);
    EXPECT_EQ(config.turnaroundMs, 5u);
    ASSERT_EQ(config.plcs.size(), 2u);
    const PlcConfig &p1 = config.plcs[0];
    EXPECT_EQ(p1.name, "P1");
    EXPECT_EQ(p1.route, (Drops{1, 5}));
    EXPECT_EQ(p1.backup, (Drops{2, 5}));
    EXPECT_EQ(p1.registers, 2000u);
    EXPECT_TRUE(p1.normalDown);
    EXPECT_FALSE(p1.backupDown);
    const std::vector<std::pair<size_t, uint16_t>> initial{
        {100, 0x1234}, {200, 1}, {201, 2}, {202, 0x10}};
    EXPECT_EQ(p1.initial, initial);
    EXPECT_EQ(config.plcs[1].name, "P0");
    EXPECT_TRUE(config.plcs[1].direct);
    EXPECT_TRUE(config.plcs[1].route.empty());
    EXPECT_NO_THROW(ValidateNetwork(config));
}

TEST(NetworkFile, ErrorsNameTheirLine) {
    const std::pair<const char *, const char *> cases[] = {
        {"[line]\nbaud = fast\n", "line 2"},
        {"route = 1+5\n", "line 1"},
        {"[plc P1]\nroute = 1+0\n", "line 2"},
        {"[plc P1]\n\n\ncolour = red\n", "line 4"},
        {"[plc P1]\n5 = 65536\n", "line 2"},
        {"[plc P1]\n5 =\n", "line 2"},
        {"[plc]\n", "line 1"},
        {"[plc P1\n", "line 1"},
        {"[modem]\n", "line 1"},
        {"[line]\nenquiry = 13\n", "line 2"},
        {"[plc P1]\nregisters = 10000\n", "line 2"},
        {"[plc P1]\ndown = sideways\n", "line 2"},
        {"[plc P1]\njust text\n", "line 2"},
    };
    for (const auto &[text, where] : cases) {
        try {
            ParseNetwork(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const SimError &e) {
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos)
                << text << " -> " << e.what();
        }
    }
}

TEST(NetworkValidation, RefusesAmbiguousNetworks) {
    auto network = [](const char *text) { return ParseNetwork(text); };
    const char *bad[] = {
        "[plc P1]\nroute = 1\n[plc P1]\nroute = 2\n",               // name twice
        "[plc A]\ndirect = yes\n[plc B]\ndirect = yes\n",           // two direct
        "[plc A]\nroute = 1+2\n[plc B]\nroute = 3\nbackup = 1+2\n", // shared route
        "[plc A]\nregisters = 10\n11 = 1\n",                        // value outside
        "[plc A]\nregisters = 10\n10 = 1 2\n",                      // runs past the end
        "[plc A]\nbackup = 3\n",                                    // backup only
        "[plc A]\n100 = 1\n",                                       // unreachable
    };
    for (const char *text : bad) {
        EXPECT_THROW(ValidateNetwork(network(text)), SimError) << text;
    }
    EXPECT_NO_THROW(ValidateNetwork(network("[plc A]\nregisters = 10\n9 = 1 2\nroute = 4\n")));
}

TEST(PlcFlag, InitFileSyntax) {
    const PlcConfig plc = ParsePlcLine("P1=1+5,2+5");
    EXPECT_EQ(plc.name, "P1");
    EXPECT_EQ(plc.route, (Drops{1, 5}));
    EXPECT_EQ(plc.backup, (Drops{2, 5}));
    EXPECT_TRUE(ParsePlcLine("P2=10+255").backup.empty());
    for (const char *bad : {"P1", "=1+5", "P1=", "P1=1+5,", "P1=1,2,3", "P1=x"}) {
        EXPECT_THROW(ParsePlcLine(bad), SimError) << bad;
    }
}

TEST(InitFileOut, RoutedPlcsInOrder) {
    NetworkConfig config = ParseNetwork(kNetwork);
    config.plcs.push_back(ParsePlcLine("P2=10+255"));
    EXPECT_EQ(InitFileText(config), "P1=1+5,2+5\nP2=10+255\n");
    // A part of one drop is written with three digits, or the driver calls the line illegal.
    config.plcs.push_back(ParsePlcLine("PA=1,9"));
    EXPECT_EQ(InitFileText(config), "P1=1+5,2+5\nP2=10+255\nPA=001,009\n");
    config.plcs.push_back(ParsePlcLine("PUMP=7"));
    EXPECT_THROW(InitFileText(config), SimError);
}

TEST(InitFileIn, PlcsUpToWhereTheDriverStopsReading) {
    struct Case {
        const char *text;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"P1=1+5,2+5\r\nPB = 003\n", {"P1", "PB"}},
        {"P1=1+5\n\nP2=1+7\n", {"P1"}}, // a blank line ends the file
        {"P1=1+5\nP2=1+7", {"P1"}},     // a last line without its line feed is not used
        {"", {}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> names;
        for (const auto &plc : ParseInitFile(c.text))
            names.push_back(plc.name);
        EXPECT_EQ(names, c.names) << c.text;
    }
    const auto plcs = ParseInitFile("P1=1+5,2+5\n");
    EXPECT_EQ(plcs.at(0).route, (Drops{1, 5}));
    EXPECT_EQ(plcs.at(0).backup, (Drops{2, 5}));
    try {
        ParseInitFile("P1=1+5\nP2=1+300\n");
        ADD_FAILURE() << "drop 300 accepted";
    } catch (const SimError &e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
}

TEST(NetworkFile, RegistersThatMoveByThemselves) {
    const NetworkConfig config = ParseNetwork("[plc P1]\nroute = 1\n10 = ramp 0 100 5\n"
                                              "11 = counter\n12 = random 7 9\n");
    const auto &motions = config.plcs.at(0).motions;
    ASSERT_EQ(motions.size(), 3u);
    EXPECT_EQ(motions[0].kind, MotionKind::Ramp);
    EXPECT_EQ(motions[0].reg, 10u);
    EXPECT_EQ(motions[0].to, 100);
    EXPECT_EQ(motions[0].step, 5);
    EXPECT_EQ(motions[1].kind, MotionKind::Counter);
    EXPECT_EQ(motions[2].kind, MotionKind::Random);
    EXPECT_EQ(motions[2].from, 7);
    for (const char *bad : {"10 = ramp 5 1", "10 = ramp 0 10 0", "10 = random 9 7",
                            "10 = counter 1 2", "10 = ramp 0"}) {
        EXPECT_THROW(ParseNetwork(std::string("[plc P1]\nroute = 1\n") + bad), SimError) << bad;
    }
    EXPECT_THROW(ValidateNetwork(ParseNetwork("[plc P1]\nroute = 1\nregisters = 5\n"
                                              "6 = counter\n")),
                 SimError);
}

} // namespace
} // namespace vpisd::sim
