// Host records that cannot be served safely are refused before anything is indexed or sent:
// result 1 with one operator message naming the GAS, or -1 without a context or tag.
#include "line_fixture.h"

#include <cstdint>
#include <cstring>

#include "routing/route_table.h"

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

TEST_F(TagChecksTest, CountOutsideOneToOneHundredTwentyEightWordsIsRefused) {
    // INT_MIN and 0x40000000 pairs once overflowed while the read command was built.
    for (const int32_t count : {0, -1, 129, 0x40000000, INT32_MIN}) {
        TagAccess tag = Tag("000001", 0, 1, count);
        ExpectRefused(tag, false, "000001");
        ExpectRefused(tag, true, "000001");
    }
    for (const int32_t count : {0, 65, 0x40000000, INT32_MIN}) {
        TagAccess tag = Tag("000001F", 0, 1, count);
        tag.kind = VPI_KIND_REGISTER_PAIR;
        ExpectRefused(tag, false, "000001F");
        ExpectRefused(tag, true, "000001F");
    }
    TagAccess bitRead = Tag("00000101", 0, 1, 0);
    bitRead.type = 6;
    bitRead.bit = 0;
    ExpectRefused(bitRead, false, "00000101");
    EXPECT_TRUE(LineStayedQuiet());
}

// The register offset is 16 bits of bytes from register 1: register 32769 (pair 16385)
// would land on register 1.
TEST_F(TagChecksTest, AddressWhoseLastRegisterHasNoSixteenBitOffsetIsRefused) {
    struct Case {
        int32_t kind;
        int32_t address;
        int32_t count;
    } const refused[] = {
        {VPI_KIND_REGISTER, 0, 1},
        {VPI_KIND_REGISTER, -1, 1},
        {VPI_KIND_REGISTER, INT32_MIN, 1},
        {VPI_KIND_REGISTER, 32769, 1},
        {VPI_KIND_REGISTER, 32768, 2},
        {VPI_KIND_REGISTER, 32700, 128},
        {VPI_KIND_REGISTER, INT32_MAX, 1},
        {VPI_KIND_REGISTER_PAIR, 0, 1},
        {VPI_KIND_REGISTER_PAIR, 16385, 1},
        {VPI_KIND_REGISTER_PAIR, 16384, 2},
        {VPI_KIND_REGISTER_PAIR, INT32_MAX, 1},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + std::to_string(c.address));
        TagAccess tag = Tag("000001", 0, c.address, c.count);
        tag.kind = c.kind;
        ExpectRefused(tag, false, "000001");
        ExpectRefused(tag, true, "000001");
    }
    TagAccess bitWrite = Tag("00000101", 0, 32769, 1);
    bitWrite.type = 6;
    bitWrite.bit = 0;
    ExpectRefused(bitWrite, true, "00000101");
    EXPECT_TRUE(LineStayedQuiet());

    // The last registers that still fit go out with their offsets; a bit write covers one
    // register whatever its count.
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, request.body[0] == 0x02
                                       ? WriteReply(request)
                                       : ReadReply(request, Bytes(2u * (request.body[5] + 1u), 0)));
    });
    TagAccess last = Tag("000001", 0, 32768, 1);
    TagAccess lastBlock = Tag("000001", 0, 32641, 128);
    TagAccess lastPair = Tag("000001F", 0, 16384, 1);
    lastPair.kind = VPI_KIND_REGISTER_PAIR;
    bitWrite.address = 32768;
    bitWrite.count = 0;
    EXPECT_EQ(Read(last), 0) << LogDump();
    EXPECT_EQ(Read(lastBlock), 0) << LogDump();
    EXPECT_EQ(Read(lastPair), 0) << LogDump();
    EXPECT_EQ(Write(bitWrite), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(ToHex(requests[0].body), "00 00 FF FE 00 00");
    EXPECT_EQ(ToHex(requests[1].body), "00 01 FF 00 00 7F");
    EXPECT_EQ(ToHex(requests[2].body), "00 02 FF FC 00 01");
    EXPECT_EQ(ToHex(requests[3].body), "02 03 FF FE 00 00 00 01");
}

// A PLC behind a route is never reached over an empty one: frames would go to the PLC at
// the end of the cable instead.
TEST_F(TagChecksTest, SlotWithoutARouteToUseIsRefused) {
    StoreRoute(&context, "P3", 3);      // a name, no drops
    StoreRoute(&context, "P4=,5+6", 4); // only a backup route
    const struct {
        const char *gas;
        int32_t slot;
        int32_t useBackup;
        const char *cause;
    } cases[] = {
        {"P20001", 2, 0, "slot 2 holds no route"},
        {"P30001", 3, 1, "the normal route of slot 3 holds no drop"},
        {"P40001", 4, 0, "the normal route of slot 4 holds no drop"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas);
        context.useBackup[c.slot] = c.useBackup;
        TagAccess tag = Tag(c.gas, c.slot, 1, 1);
        ExpectRefused(tag, false, std::string(c.gas) + ": " + c.cause);
        ExpectRefused(tag, true, std::string(c.gas) + ": " + c.cause);
        TagAccess route = RouteTag("P2!ROUTE", c.slot);
        EXPECT_EQ(Read(route), 0) << "the route selection needs no route";
        values[1] = 0xBEEF;
    }
    EXPECT_TRUE(LineStayedQuiet());

    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x12, 0x34}));
    });
    context.useBackup[4] = 1;
    TagAccess backup = Tag("P40001", 4, 1, 1);
    EXPECT_EQ(Read(backup), 0) << LogDump();
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(ToHex(Requests()[0].route), "30 35 30 36");
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
    // 65537 words would ask the PLC for one (the count field is 16 bits); the read is
    // refused before a one-word reply could be spread over 65537 elements.
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x12, 0x34}));
    });
    TagAccess tag = Tag("000001", 0, 1, 65537);
    ExpectRefused(tag, false, "000001: count 65537 is not 1 to 128");
    EXPECT_EQ(values[0], 0xBEEF);
    EXPECT_TRUE(LineStayedQuiet());
}

} // namespace
} // namespace vpisd::test
