// Register commands as a PLC executes them.
#include "sim/error.h"
#include "sim/plc.h"

#include "support/pty.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

using vpisd::test::Hex;
using vpisd::test::ToHex;

std::string Exec(Plc &plc, const std::string &body, CommandKind *kindOut = nullptr,
                 size_t maxWords = 128) {
    CommandKind kind = CommandKind::None;
    const auto reply = plc.Execute(Hex(body), maxWords, kind);
    if (kindOut != nullptr)
        *kindOut = kind;
    return ToHex(reply);
}

TEST(RegisterRead, WordsFromTheOffsetHighByteFirst) {
    Plc plc("P1", 9999);
    plc.Set(100, 0x1234);
    plc.Set(101, 0xABCD);
    CommandKind kind;
    // Register 100: offset 2 x 99 = 0xC6.
    EXPECT_EQ(Exec(plc, "00 05 00 C6 00 00", &kind), "86 05 00 00 12 34");
    EXPECT_EQ(kind, CommandKind::Read);
    EXPECT_EQ(Exec(plc, "00 06 00 C6 00 01"), "86 06 00 00 12 34 AB CD");
    EXPECT_EQ(Exec(plc, "00 07 00 00 00 00"), "86 07 00 00 00 00");
    // The last register, 9999: offset 0x4E1C.
    plc.Set(9999, 0x0102);
    EXPECT_EQ(Exec(plc, "00 08 4E 1C 00 00"), "86 08 00 00 01 02");
}

TEST(RegisterRead, AddressesAndLengthsOutsideThePlc) {
    Plc plc("P1", 200);
    CommandKind kind;
    EXPECT_EQ(Exec(plc, "00 05 01 90 00 00", &kind), "A2 05 03"); // register 201
    EXPECT_EQ(kind, CommandKind::Refused);
    EXPECT_EQ(Exec(plc, "00 05 01 8E 00 00"), "86 05 00 00 00 00"); // register 200
    EXPECT_EQ(Exec(plc, "00 05 01 8E 00 01"), "A2 05 03");          // 200 and 201
    EXPECT_EQ(Exec(plc, "00 05 00 C7 00 00"), "A2 05 03");          // odd offset
    EXPECT_EQ(Exec(plc, "00 05 FF FE FF FF"), "A2 05 10");          // 65536 words
    EXPECT_EQ(Exec(plc, "00 05 00 00 00 80"), "A2 05 10");          // 129 words
    EXPECT_EQ(Exec(plc, "00 05 00 00 00 7F").size(), (4u + 256u) * 3 - 1);
    EXPECT_EQ(Exec(plc, "00 05 00 C6 00"), "A2 05 10");
    EXPECT_EQ(Exec(plc, "00 05 00 C6 00 00 00"), "A2 05 10");
    EXPECT_EQ(Exec(plc, "00"), "A2 00 10");
    EXPECT_EQ(Exec(plc, ""), "A2 00 10");
    EXPECT_EQ(Exec(plc, "07 09 00 00"), "A2 09 01");
}

TEST(RegisterWrite, WordsStoredUpToTheMarker) {
    Plc plc("P1", 9999);
    CommandKind kind;
    EXPECT_EQ(Exec(plc, "02 05 00 C6 12 34 FF FF", &kind), "80 05");
    EXPECT_EQ(kind, CommandKind::Write);
    EXPECT_EQ(plc.Get(100), 0x1234);
    EXPECT_EQ(Exec(plc, "02 06 00 C6 00 01 00 02 00 03 FF FF"), "80 06");
    EXPECT_EQ(plc.Get(100), 1);
    EXPECT_EQ(plc.Get(101), 2);
    EXPECT_EQ(plc.Get(102), 3);
    EXPECT_EQ(plc.Get(103), 0);
    // A word of FFFF followed by the marker is one word, not a masked write.
    EXPECT_EQ(Exec(plc, "02 07 00 00 FF FF FF FF", &kind), "80 07");
    EXPECT_EQ(kind, CommandKind::Write);
    EXPECT_EQ(plc.Get(1), 0xFFFF);
}

TEST(RegisterWrite, RefusedWritesChangeNothing) {
    Plc plc("P1", 10);
    plc.Set(10, 7);
    EXPECT_EQ(Exec(plc, "02 05 00 12 00 01 00 02 FF FF"), "A2 05 03"); // registers 10 and 11
    EXPECT_EQ(plc.Get(10), 7);
    EXPECT_EQ(Exec(plc, "02 05 00 12 00 01 00 02 FF"), "A2 05 10");    // odd length
    EXPECT_EQ(Exec(plc, "02 05 00 12 FF FF"), "A2 05 10");             // no words
    EXPECT_EQ(Exec(plc, "02 05 00 12 00 01 00 02 00 03"), "A2 05 10"); // no marker
    EXPECT_EQ(Exec(plc, "02 05 00 13 00 01 FF FF"), "A2 05 03");       // odd offset
    EXPECT_EQ(Exec(plc, "02 05 00 12 00 01 FF FF", nullptr, 0), "A2 05 10");
    EXPECT_EQ(plc.Get(10), 7);
}

TEST(MaskedWrite, OnlyTheMaskedBitsChange) {
    Plc plc("P1", 9999);
    plc.Set(100, 0x1234);
    CommandKind kind;
    EXPECT_EQ(Exec(plc, "02 05 00 C6 00 04 00 04", &kind), "80 05"); // set bit 2 (already set)
    EXPECT_EQ(kind, CommandKind::MaskedWrite);
    EXPECT_EQ(plc.Get(100), 0x1234);
    EXPECT_EQ(Exec(plc, "02 06 00 C6 00 00 00 04"), "80 06"); // clear bit 2
    EXPECT_EQ(plc.Get(100), 0x1230);
    EXPECT_EQ(Exec(plc, "02 07 00 C6 FF FF 80 00"),
              "80 07"); // set bit 15, value bits outside ignored
    EXPECT_EQ(plc.Get(100), 0x9230);
    EXPECT_EQ(Exec(plc, "02 08 00 C6 00 03 00 01"), "80 08"); // element 3 at bit 0: only bit 0
    EXPECT_EQ(plc.Get(100), 0x9231);
    EXPECT_EQ(Exec(plc, "02 09 4E 1E 00 01 00 01"), "A2 09 03"); // register 10000
}

TEST(Registers, AccessOutsideTheCountThrows) {
    EXPECT_THROW(Plc("P1", 0), SimError);
    EXPECT_THROW(Plc("P1", 10000), SimError);
    Plc plc("P1", 5);
    EXPECT_THROW(plc.Get(0), SimError);
    EXPECT_THROW(plc.Get(6), SimError);
    EXPECT_THROW(plc.Set(6, 1), SimError);
    plc.Set(5, 9);
    EXPECT_EQ(plc.Get(5), 9);
}

TEST(MovingRegisters, EachReadShowsTheNextValue) {
    Plc plc("P1", 20);
    plc.AddMotion({10, MotionKind::Ramp, 0, 10, 5}, 1);
    plc.AddMotion({11, MotionKind::Counter, 0, 0xFFFF, 1}, 1);
    plc.AddMotion({12, MotionKind::Random, 7, 9, 1}, 1);
    plc.Set(11, 0xFFFF);
    // Registers 10 to 12: offset 0x12, three words. The ramp wraps after its end, the counter
    // after 65535.
    const char *expected[] = {"86 01 00 00 00 00 FF FF", "86 01 00 00 00 05 00 00",
                              "86 01 00 00 00 0A 00 01", "86 01 00 00 00 00 00 02"};
    for (const char *reply : expected) {
        const std::string got = Exec(plc, "00 01 00 12 00 02");
        EXPECT_EQ(got.substr(0, 23), reply);
        const unsigned long random = std::stoul(got.substr(24, 2) + got.substr(27, 2), nullptr, 16);
        EXPECT_GE(random, 7ul);
        EXPECT_LE(random, 9ul);
    }
    // A read that does not cover a moving register leaves it as it is.
    Exec(plc, "00 01 00 00 00 00");
    EXPECT_EQ(plc.Get(10), 5);
}

} // namespace
} // namespace vpisd::sim
