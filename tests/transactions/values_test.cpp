// Value shapes through a whole transaction: 32-bit values in register pairs and single
// bits, each checked on the wire and in the host's buffer.
#include "line_fixture.h"

namespace vpisd::test {
namespace {

using ValuesTest = LineFixture;

TEST_F(ValuesTest, ThirtyTwoBitReadAsksForTwoWordsAndFillsBothElements) {
    context.sequence[0] = 0x05;
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x11, 0x22, 0x33, 0x44}));
    });
    TagAccess tag = Tag("000101F", 0, 51, 1); // registers 101 and 102
    tag.kind = VPI_KIND_REGISTER_PAIR;

    ASSERT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ToHex(requests[0].body), "00 05 00 C8 00 01");
    EXPECT_EQ(values[0], 0x1122) << "the lower register first";
    EXPECT_EQ(values[1], 0x3344);
}

TEST_F(ValuesTest, BitReadExtractsTheBitIntoElementOne) {
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x12, 0x34})); // bit 2 set, bit 0 clear
    });
    TagAccess tag = Tag("00010003", 0, 100, 1);
    tag.type = 6;
    tag.bit = 2;
    ASSERT_EQ(Read(tag), 0) << LogDump();
    EXPECT_EQ(values[1], 1);

    tag.bit = 0;
    ASSERT_EQ(Read(tag), 0) << LogDump();
    EXPECT_EQ(values[1], 0);
    EXPECT_EQ(values[0], 0xBEEF);
}

TEST_F(ValuesTest, BitWriteSendsTheShiftedValueAndItsMask) {
    plc.OnRequest(
        [](const ParsedRequest &request, int) { return GoodAnswer(request, WriteReply(request)); });
    TagAccess tag = Tag("00010016", 0, 100, 5); // a bit write does not consult count
    tag.type = 6;
    tag.bit = 15;
    values[1] = 1;
    ASSERT_EQ(Write(tag), 0) << LogDump();

    tag.bit = 0;
    values[1] = 0;
    ASSERT_EQ(Write(tag), 0) << LogDump();

    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(ToHex(requests[0].body), "02 00 00 C6 80 00 80 00");
    EXPECT_EQ(ToHex(requests[1].body), "02 01 00 C6 00 00 00 01");
}

} // namespace
} // namespace vpisd::test
