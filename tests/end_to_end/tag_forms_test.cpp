// Every tag form read and written end to end on a clean line: the words land where the host
// expects them and in the simulator's registers, and nothing outside the tag changes.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

class TagForms : public DriverOnSim {
  protected:
    void SetUp() override { Launch(kTwoPlcNetwork); }
    void TearDown() override {
        // One PLC at a time: the driver never sends two frames in a row with one toggle,
        // and every frame it sent was well formed.
        EXPECT_EQ(Stat("toggle_repeats"), 0U);
        EXPECT_EQ(Stat("frames_bad"), 0U);
        DriverOnSim::TearDown();
    }
};

TEST_F(TagForms, RegisterReadsIntoElementOneAndWritesBack) {
    SetRegisters("P1", 99, {0x1111, 0xBEEF, 0x2222});
    auto tag = MakeTag("p10100");
    EXPECT_EQ(tag->access().slot, 1);

    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0xBEEF);
    EXPECT_EQ(tag->values()[0], kUntouched) << "element 0 belongs to the host";

    tag->values()[1] = 0x0102;
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 99, 3), (std::vector<uint16_t>{0x1111, 0x0102, 0x2222}));
    EXPECT_EQ(Logged(LOG_DEBUG, "Write completed successfully"), 1);
    EXPECT_EQ(Stat("requests.P1.normal"), 2U);

    // Values with DLE and ETX bytes travel doubled and come back whole.
    SetRegisters("P1", 100, {0x1003});
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x1003);
    EXPECT_EQ(context().sequence[1], 3) << "one step per accepted reply";
}

TEST_F(TagForms, BlockCoversConsecutiveRegistersFromElementZero) {
    std::vector<uint16_t> block;
    for (uint16_t i = 0; i < 10; ++i) {
        block.push_back(static_cast<uint16_t>(0x1010 * (i + 1)));
    }
    SetRegisters("P2", 500, block);
    auto tag = MakeTag("P20500", kTypeRegister, 10);
    EXPECT_EQ(tag->access().slot, 2);

    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->Covered(), block);

    std::vector<uint16_t> written;
    for (uint16_t i = 0; i < 10; ++i) {
        written.push_back(static_cast<uint16_t>(0xF000 + i));
    }
    tag->SetCovered(written);
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P2", 500, 10), written);
    EXPECT_EQ(Registers("P2", 499, 1)[0], 0);
    EXPECT_EQ(Registers("P2", 510, 1)[0], 0);
}

TEST_F(TagForms, LargestBlockTravelsBothWays) {
    std::vector<uint16_t> block;
    for (uint16_t i = 0; i < 128; ++i) {
        block.push_back(static_cast<uint16_t>(i * 0x0101U)); // includes 0x1010 and 0x0303
    }
    SetRegisters("P1", 1, block);
    auto tag = MakeTag("P10001", kTypeRegister, 128);
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->Covered(), block);

    std::reverse(block.begin(), block.end());
    tag->SetCovered(block);
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 1, 128), block);
}

TEST_F(TagForms, PairTakesBothWordsLowerRegisterFirst) {
    SetRegisters("P1", 101, {0x1234, 0x5678});
    auto tag = MakeTag("P10101F", kTypePair, 1);
    EXPECT_EQ(tag->access().kind, VPI_KIND_REGISTER_PAIR);

    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->Covered(), (std::vector<uint16_t>{0x1234, 0x5678}));

    tag->SetCovered({0xAAAA, 0x5555});
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 4), (std::vector<uint16_t>{0, 0xAAAA, 0x5555, 0}));

    // Three pairs from register 201: six words in register order.
    SetRegisters("P1", 201, {1, 2, 3, 4, 5, 6});
    auto block = MakeTag("P10201F", kTypePair, 3);
    ASSERT_EQ(Read(*block), VPI_OK);
    EXPECT_EQ(block->Covered(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(TagForms, BitReadsOneBitAndMaskedWriteLeavesTheOthers) {
    SetRegisters("P2", 40, {0xA5C3});
    for (int bit : {1, 2, 3, 8, 9, 15, 16}) {
        char gas[16];
        std::snprintf(gas, sizeof gas, "P20040%02d", bit);
        auto tag = MakeTag(gas, kTypeBit);
        ASSERT_EQ(Read(*tag), VPI_OK) << gas;
        EXPECT_EQ(tag->values()[1], (0xA5C3 >> (bit - 1)) & 1) << gas;
        EXPECT_EQ(tag->values()[0], kUntouched) << gas;
    }

    auto high = MakeTag("P2004016", kTypeBit);
    high->values()[1] = 0;
    ASSERT_EQ(Write(*high), VPI_OK);
    EXPECT_EQ(Registers("P2", 40, 1)[0], 0x25C3);

    auto low = MakeTag("P2004003", kTypeBit);
    low->values()[1] = 1;
    ASSERT_EQ(Write(*low), VPI_OK);
    EXPECT_EQ(Registers("P2", 40, 1)[0], 0x25C7);
    EXPECT_EQ(Stat("masked_writes"), 2U);
}

TEST_F(TagForms, RouteTagSelectsThePathWithoutTraffic) {
    auto route = MakeTag("P1!route", kTypeBit);
    EXPECT_EQ(route->access().kind, VPI_KIND_ROUTE);
    ASSERT_EQ(Read(*route), VPI_OK);
    EXPECT_EQ(route->values()[1], 0);

    route->values()[1] = 1;
    ASSERT_EQ(Write(*route), VPI_OK);
    EXPECT_EQ(Stat("frames"), 0U) << "the pseudo-tag never reaches the line";
    EXPECT_EQ(Stat("enquiries"), 0U);
    EXPECT_EQ(RouteSelection("P1"), 1);

    SetRegisters("P1", 7, {77});
    auto tag = MakeTag("P10007");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 77);
    EXPECT_EQ(Stat("requests.P1.backup"), 1U);
    EXPECT_EQ(Stat("requests.P1.normal"), 0U);

    route->values()[1] = 0;
    ASSERT_EQ(Write(*route), VPI_OK);
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(Stat("requests.P1.normal"), 1U);

    // P2 has no backup: the write is accepted and changes nothing.
    auto other = MakeTag("P2!ROUTE", kTypeBit);
    other->values()[1] = 1;
    ASSERT_EQ(Write(*other), VPI_OK);
    EXPECT_EQ(RouteSelection("P2"), 0);
}

class PeerToPeer : public DriverOnSim {
  protected:
    void SetUp() override { Launch("[plc P0]\ndirect = yes\n100 = 4321\n", std::nullopt); }
};

TEST_F(PeerToPeer, PrefixZeroZeroReachesTheDirectPlcWithoutRoute) {
    auto rejected = std::make_unique<Tag>("P00100", kTypeRegister, 1);
    EXPECT_EQ(Parse(*rejected), VPI_REFUSED) << "no init file: only the prefix 00 is known";

    auto tag = MakeTag("000100");
    EXPECT_EQ(tag->access().slot, 0);
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 4321);
    EXPECT_EQ(Stat("requests.P0.direct"), 1U);

    auto pair = MakeTag("000201F", kTypePair);
    pair->SetCovered({0x0A0B, 0x0C0D});
    ASSERT_EQ(Write(*pair), VPI_OK);
    EXPECT_EQ(Registers("P0", 201, 2), (std::vector<uint16_t>{0x0A0B, 0x0C0D}));

    auto bit = MakeTag("00020101", kTypeBit);
    bit->values()[1] = 0;
    ASSERT_EQ(Write(*bit), VPI_OK);
    EXPECT_EQ(Registers("P0", 201, 1)[0], 0x0A0A);
    EXPECT_EQ(Stat("requests.P0.direct"), 3U);
    EXPECT_EQ(Stat("toggle_repeats"), 0U);
}

} // namespace
} // namespace vpisd::e2e
