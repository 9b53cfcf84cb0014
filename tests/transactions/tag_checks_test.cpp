// Host records that cannot be served safely are refused before anything is indexed or sent:
// result 1 with one operator message naming the GAS, or -1 without a context or tag.
#include "line_fixture.h"

#include <cstring>

namespace vpisd::test {
namespace {

class TagChecksTest : public LineFixture {
  protected:
    // Runs the request and expects it refused with one level-32 message about this GAS.
    void ExpectRefused(TagAccess &tag, bool write, const std::string &gasShown) {
        ClearLog();
        const VpiContext before = context;
        const int32_t result = write ? Write(tag) : Read(tag);
        EXPECT_EQ(result, 1);
        const std::vector<LogEntry> entries = LogEntries();
        ASSERT_EQ(entries.size(), 1u) << LogDump();
        EXPECT_EQ(entries[0].level, LOG_EVENT);
        EXPECT_NE(entries[0].text.find(gasShown), std::string::npos) << entries[0].text;
        EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
        EXPECT_EQ(values[1], 0xBEEF);
    }
};

TEST_F(TagChecksTest, SlotOutsideTheTableIsRefused) {
    for (const int32_t slot : {100, 65536, -1}) {
        TagAccess tag = Tag("P10001", slot, 1, 1);
        ExpectRefused(tag, false, "P10001");
        ExpectRefused(tag, true, "P10001");
        TagAccess route = RouteTag("P1!ROUTE", slot);
        ExpectRefused(route, false, "P1!ROUTE");
        ExpectRefused(route, true, "P1!ROUTE");
    }
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(TagChecksTest, BitOutsideTheRegisterIsRefused) {
    for (const int32_t bit : {16, 255, -1}) {
        TagAccess tag = Tag("00000117", 0, 1, 1);
        tag.type = 6;
        tag.bit = bit;
        ExpectRefused(tag, false, "00000117");
        ExpectRefused(tag, true, "00000117");
    }
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(TagChecksTest, WriteOutsideOneToOneHundredTwentyEightWordsIsRefused) {
    for (const int32_t count : {0, -1, 129, 0x40000000}) {
        TagAccess tag = Tag("000001", 0, 1, count);
        ExpectRefused(tag, true, "000001");
    }
    for (const int32_t count : {0, 65, 0x40000000}) {
        TagAccess tag = Tag("000001F", 0, 1, count);
        tag.kind = VPI_KIND_REGISTER_PAIR;
        ExpectRefused(tag, true, "000001F");
    }
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(TagChecksTest, MissingValueBufferOrGasIsRefused) {
    TagAccess noValues = Tag("000001", 0, 1, 1);
    noValues.values = nullptr;
    ExpectRefused(noValues, false, "000001");
    ExpectRefused(noValues, true, "000001");
    TagAccess noValuesRoute = RouteTag("00!ROUTE", 0);
    noValuesRoute.values = nullptr;
    ExpectRefused(noValuesRoute, false, "00!ROUTE");

    TagAccess noGas = Tag(nullptr, 0, 1, 1);
    ExpectRefused(noGas, false, "(none)");
    ExpectRefused(noGas, true, "(none)");
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(TagChecksTest, MissingContextOrTagIsABadRequest) {
    TagAccess tag = Tag("000001", 0, 1, 1);
    const VpiRequest noContext{nullptr, VPI_READ, kTestVpiNumber, 0, &tag};
    const VpiRequest noTag{&context, VPI_READ, kTestVpiNumber, 0, nullptr};
    EXPECT_EQ(ReadTransaction(&noContext), VPI_BAD_REQUEST);
    EXPECT_EQ(WriteTransaction(&noContext), VPI_BAD_REQUEST);
    EXPECT_EQ(ReadTransaction(&noTag), VPI_BAD_REQUEST);
    EXPECT_EQ(WriteTransaction(&noTag), VPI_BAD_REQUEST);
    EXPECT_EQ(ReadTransaction(nullptr), VPI_BAD_REQUEST);
    EXPECT_EQ(WriteTransaction(nullptr), VPI_BAD_REQUEST);
    EXPECT_EQ(values[1], 0xBEEF);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(TagChecksTest, LongGasIsCutToThirtyTwoCharactersInMessages) {
    const std::string gas = "p1" + std::string(30, 'a') + "TAIL";
    TagAccess tag = Tag(gas.c_str(), 100, 1, 1);
    ExpectRefused(tag, false, "P1" + std::string(30, 'A'));
    EXPECT_EQ(LogEntries().at(0).text.find("TAIL"), std::string::npos) << LogDump();
}

TEST_F(TagChecksTest, ReadCountBeyondSixteenBitsNeverStoresPastTheReply) {
    // 65537 words ask the PLC for one (the count field is 16 bits); a one-word reply passes
    // the 16-bit length check but must not be spread over 65537 elements.
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x12, 0x34}));
    });
    TagAccess tag = Tag("000001", 0, 1, 65537);

    EXPECT_EQ(Read(tag), 1) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(ToHex(requests[0].body), "00 00 00 00 00 00");
    EXPECT_EQ(values[0], 0xBEEF);
    EXPECT_EQ(values[1], 0xBEEF);
    EXPECT_EQ(context.sequence[0], 0);
}

} // namespace
} // namespace vpisd::test
