// The block parse: the count limits of register blocks and 32-bit blocks (at least 1, at
// most 128 words), the forms that are no blocks, its own messages quoting the GAS as given,
// and the mode ending with the call.
#include "parse_fixture.h"

namespace vpisd::test {
namespace {

constexpr const char *kTooLong = "VPISD: BlockParse() failed. Block size too long. tag (%s)";
constexpr const char *kBelowOne = "VPISD: BlockParse() failed. Block size below 1. tag (%s)";

std::string Quoting(const char *format, const std::string &gas) {
    std::string text = format;
    return text.replace(text.find("%s"), 2, gas);
}
std::string TooLong(const std::string &gas) {
    return Quoting(kTooLong, gas);
}

// 0: accepted; 1: too long; -1: below 1 (refused with its own message).
int32_t Result(int32_t expected) {
    return expected == 0 ? 0 : 1;
}

class BlockParseTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearLog(); }
    std::unique_ptr<VpiContext> context_ = MakeContext({{2, "P1"}});
};

TEST_F(BlockParseTest, RegisterBlocksHoldAtMost128Words) {
    struct {
        int32_t count;
        int32_t result;
    } const cases[] = {{128, 0}, {129, 1},        {1, 0},        {0, -1},
                       {-5, -1}, {INT32_MIN, -1}, {INT32_MAX, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        ClearLog();
        TagDescriptor tag = MakeTag("P10001", 0, c.count);
        EXPECT_EQ(Parse(BlockParse, context_.get(), tag), Result(c.result));
        EXPECT_EQ(tag.kind, VPI_KIND_REGISTER);
        EXPECT_EQ(tag.address, 1);
        EXPECT_EQ(tag.width, 16);
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, TooLong("P10001")), c.result == 1 ? 1 : 0) << LogDump();
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, Quoting(kBelowOne, "P10001")), c.result == -1 ? 1 : 0)
            << LogDump();
        EXPECT_EQ(LogEntries().size(), static_cast<size_t>(Result(c.result))) << LogDump();
    }
}

TEST_F(BlockParseTest, PairBlocksHoldAtMost64Values) {
    struct {
        int32_t count;
        int32_t result;
    } const cases[] = {{64, 0}, {65, 1}, {128, 1}, {1, 0}, {0, -1}, {-1, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        ClearLog();
        TagDescriptor tag = MakeTag("p10001F", 3, c.count);
        EXPECT_EQ(Parse(BlockParse, context_.get(), tag), Result(c.result));
        EXPECT_EQ(tag.kind, VPI_KIND_REGISTER_PAIR);
        EXPECT_EQ(tag.address, 1);
        EXPECT_EQ(tag.width, 32);
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, TooLong("p10001F")), c.result == 1 ? 1 : 0) << LogDump();
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, Quoting(kBelowOne, "p10001F")), c.result == -1 ? 1 : 0)
            << LogDump();
        EXPECT_EQ(LogEntries().size(), static_cast<size_t>(Result(c.result))) << LogDump();
    }
}

TEST_F(BlockParseTest, OwnMessageQuotesTheGasAsGiven) {
    TagDescriptor tag = MakeTag("p10001", 0, 200);
    EXPECT_EQ(Parse(BlockParse, context_.get(), tag), 1);
    EXPECT_EQ(CountLog(VPI_LOG_EVENT, TooLong("p10001")), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1u) << LogDump();
}

TEST_F(BlockParseTest, TypesAreNotTested) {
    for (int32_t type : {0, 2, 6, 99, -1}) {
        SCOPED_TRACE(type);
        TagDescriptor registers = MakeTag("P11234", type, 10);
        EXPECT_EQ(Parse(BlockParse, context_.get(), registers), 0);
        EXPECT_EQ(registers.address, 1234);
        EXPECT_EQ(registers.bit, 255);
        TagDescriptor pairs = MakeTag("P10005F", type, 10);
        EXPECT_EQ(Parse(BlockParse, context_.get(), pairs), 0);
        EXPECT_EQ(pairs.address, 3);
        EXPECT_EQ(pairs.width, 32);
    }
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(BlockParseTest, BitsAndRouteSelectionAreNoBlocks) {
    TagDescriptor bit = MakeTag("P1000101", 6, 1);
    EXPECT_EQ(Parse(BlockParse, context_.get(), bit), 1);
    EXPECT_EQ(bit.bit, 255) << "block mode reads no bit number";
    TagDescriptor route = MakeTag("P1!ROUTE", 6, 1);
    EXPECT_EQ(Parse(BlockParse, context_.get(), route), 1);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(BlockParseTest, ParseFailuresKeepTheSingleParseWording) {
    struct {
        const char *gas;
        const char *message;
    } const cases[] = {
        {"p1123", "VPISD: SingleParse() failed. Invalid Tag Address (P1123)"},
        {"x11234", "VPISD: Parse Failed, Invalid Route. GAS=X11234"},
        {"P10002F", "VPISD: SingleParse() failed. Tag (P10002F). Address should be ODD"},
        {"P10001T", "VPISD: SingleParse() failed. Invalid Tag (P10001T)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas);
        ClearLog();
        TagDescriptor tag = MakeTag(c.gas, 0, 1000);
        EXPECT_EQ(Parse(BlockParse, context_.get(), tag), 1);
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, c.message), 1) << LogDump();
        EXPECT_EQ(LogEntries().size(), 1u) << LogDump();
    }
}

TEST_F(BlockParseTest, FailedBlockParseLeavesTheNextSingleParseInSingleMode) {
    TagDescriptor unmatched = MakeTag("Z11234", 2, 10);
    EXPECT_EQ(Parse(BlockParse, context_.get(), unmatched), 1);
    TagDescriptor tooLong = MakeTag("P11234", 2, 500);
    EXPECT_EQ(Parse(BlockParse, context_.get(), tooLong), 1);
    ClearLog();

    TagDescriptor tag = MakeTag("P11234", 2, 10);
    EXPECT_EQ(Parse(SingleParse, context_.get(), tag), 1);
    EXPECT_EQ(
        CountLog(VPI_LOG_EVENT, "VPISD: SingleParse() failed. Tag (P11234). Illegal tag type"), 1)
        << LogDump();
    TagDescriptor bit = MakeTag("P1000116", 6, 10);
    EXPECT_EQ(Parse(SingleParse, context_.get(), bit), 0);
    EXPECT_EQ(bit.bit, 15);
}

} // namespace
} // namespace vpisd::test
