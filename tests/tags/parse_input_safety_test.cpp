// Hostile or careless input to the parse commands: missing records, a NULL GAS, GASes far
// longer than any form, and parses of different VPIs one after the other.
#include <cstring>

#include "parse_fixture.h"

namespace vpisd::test {
namespace {

class ParseInputSafety : public ::testing::Test {
  protected:
    void SetUp() override { ClearLog(); }
    std::unique_ptr<VpiContext> context_ = MakeContext({{2, "P1"}});
};

TEST_F(ParseInputSafety, MissingRecordsAreBadRequestsThatTouchNothing) {
    for (auto parse : {SingleParse, BlockParse}) {
        TagDescriptor tag = MakeTag("P11234", 0);
        const TagDescriptor before = tag;
        VpiRequest noContext{nullptr, VPI_SINGLE_PARSE, 1, 0, &tag};
        VpiRequest noData{context_.get(), VPI_SINGLE_PARSE, 1, 0, nullptr};
        EXPECT_EQ(parse(nullptr), VPI_BAD_REQUEST);
        EXPECT_EQ(parse(&noContext), VPI_BAD_REQUEST);
        EXPECT_EQ(parse(&noData), VPI_BAD_REQUEST);
        EXPECT_EQ(std::memcmp(&tag, &before, sizeof tag), 0);
    }
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(ParseInputSafety, NullGasIsRejectedWithOneEventMessage) {
    for (auto parse : {SingleParse, BlockParse}) {
        ClearLog();
        TagDescriptor tag = MakeTag(nullptr, 0);
        EXPECT_EQ(Parse(parse, context_.get(), tag), 1);
        EXPECT_EQ(tag.slot, 0);
        EXPECT_EQ(tag.kind, VPI_KIND_REGISTER);
        EXPECT_EQ(tag.bit, 255);
        EXPECT_EQ(tag.width, 16);
        EXPECT_EQ(tag.address, kUntouched);
        const auto entries = LogEntries();
        ASSERT_EQ(entries.size(), 1u) << LogDump();
        EXPECT_EQ(entries[0].level, VPI_LOG_EVENT);
    }
}

TEST_F(ParseInputSafety, OverlongGasIsCutAndRejectedForItsLength) {
    const std::string longGas(200, 'q');
    const std::string quoted(35, 'Q'); // the parse keeps at most 35 characters
    for (auto parse : {SingleParse, BlockParse}) {
        ClearLog();
        TagDescriptor tag = MakeTag(longGas.c_str(), 0, 1);
        EXPECT_EQ(Parse(parse, context_.get(), tag), 1);
        EXPECT_EQ(CountLog(VPI_LOG_EVENT,
                           "VPISD: SingleParse() failed. Invalid Tag Address (" + quoted + ")"),
                  1)
            << LogDump();
        EXPECT_EQ(LogEntries().size(), 1u) << LogDump();
    }
}

TEST_F(ParseInputSafety, ParsesOfTwoVpisDoNotDisturbEachOther) {
    auto peer = MakeContext({});
    TagDescriptor routed = MakeTag("p11234", 0);
    TagDescriptor direct = MakeTag("001234", 0);
    TagDescriptor routedBlock = MakeTag("P10001F", 3, 64);
    EXPECT_EQ(Parse(BlockParse, context_.get(), routedBlock), 0);
    EXPECT_EQ(Parse(SingleParse, peer.get(), direct), 0);
    EXPECT_EQ(Parse(SingleParse, context_.get(), routed), 0);
    EXPECT_EQ(routed.slot, 2);
    EXPECT_EQ(direct.slot, 0);
    EXPECT_EQ(routedBlock.slot, 2);
    EXPECT_EQ(routedBlock.address, 1);

    TagDescriptor wrongPrefix = MakeTag("001234", 0);
    EXPECT_EQ(Parse(SingleParse, context_.get(), wrongPrefix), 1);
    TagDescriptor wrongPeer = MakeTag("P11234", 0);
    EXPECT_EQ(Parse(SingleParse, peer.get(), wrongPeer), 1);
}

} // namespace
} // namespace vpisd::test
