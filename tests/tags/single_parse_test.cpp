// The single parse over every GAS form, with and without routes: results, the fields of the
// tag record (also after a rejection) and the one message each rejection may log.
#include <ostream>

#include "parse_fixture.h"

namespace vpisd::test {
namespace {

enum class Routes { None, P1InSlot2, P1InSlots2And7, LowerP1InSlot3 };

struct ParseCase {
    Routes routes;
    const char *gas;
    int32_t type;
    int32_t result;
    int32_t slot, kind, address, bit, width;
    const char *message; // the one level-32 message expected, or nullptr for none at all
};

std::ostream &operator<<(std::ostream &out, const ParseCase &c) {
    return out << "GAS \"" << c.gas << "\" type " << c.type << " routes "
               << static_cast<int>(c.routes);
}

std::unique_ptr<VpiContext> ContextFor(Routes routes) {
    switch (routes) {
    case Routes::None:
        return MakeContext({});
    case Routes::P1InSlot2:
        return MakeContext({{2, "P1"}});
    case Routes::P1InSlots2And7:
        return MakeContext({{7, "P1"}, {2, "P1"}, {4, "Q1"}});
    case Routes::LowerP1InSlot3:
        return MakeContext({{3, "p1"}});
    }
    return nullptr;
}

constexpr int32_t U = kUntouched;
constexpr int32_t R = VPI_KIND_REGISTER;
constexpr int32_t P = VPI_KIND_REGISTER_PAIR;
constexpr int32_t T = VPI_KIND_ROUTE;
constexpr Routes None = Routes::None;
constexpr Routes P1 = Routes::P1InSlot2;

const ParseCase kCases[] = {
    // Peer to peer: only the prefix "00", slot 0.
    {None, "001234", 0, 0, 0, R, 1234, 255, 16, nullptr},
    {None, "P11234", 0, 1, 0, R, U, 255, 16, "VPISD: Parse Failed, Invalid Route. GAS=P11234"},
    {None, "00!ROUTE", 6, 0, 0, T, 20000, 255, 16, nullptr},
    // Routes: the prefix names a slot, upper-cased before the match; the lowest slot wins.
    {P1, "p11234", 0, 0, 2, R, 1234, 255, 16, nullptr},
    {P1, "001234", 0, 1, 0, R, U, 255, 16, "VPISD: Parse Failed, Invalid Route. GAS=001234"},
    {Routes::LowerP1InSlot3, "p11234", 0, 1, 0, R, U, 255, 16,
     "VPISD: Parse Failed, Invalid Route. GAS=P11234"},
    {Routes::P1InSlots2And7, "P11234", 0, 0, 2, R, 1234, 255, 16, nullptr},
    {Routes::P1InSlots2And7, "Q19999", 1, 0, 4, R, 9999, 255, 16, nullptr},
    // 32-bit values in register pairs.
    {P1, "P10001F", 3, 0, 2, P, 1, 255, 32, nullptr},
    {P1, "P19999F", 3, 0, 2, P, 5000, 255, 32, nullptr},
    {P1, "p10001f", 4, 0, 2, P, 1, 255, 32, nullptr},
    {P1, "P10003F", 5, 0, 2, P, 2, 255, 32, nullptr},
    {P1, "P10002F", 3, 1, 2, R, 2, 255, 16,
     "VPISD: SingleParse() failed. Tag (P10002F). Address should be ODD"},
    {P1, "p10002f", 3, 1, 2, R, 2, 255, 16,
     "VPISD: SingleParse() failed. Tag (P10002F). Address should be ODD"},
    {P1, "P10001T", 3, 1, 2, R, 1, 255, 16, "VPISD: SingleParse() failed. Invalid Tag (P10001T)"},
    {P1, "P100010", 3, 1, 2, R, 1, 255, 16, "VPISD: SingleParse() failed. Invalid Tag (P100010)"},
    {P1, "P10001X", 3, 1, 2, R, U, 255, 16, nullptr},
    {P1, "P10001F", 0, 1, 2, P, 1, 255, 32,
     "VPISD: SingleParse() failed. Tag (P10001F). Wrong tag type"},
    {P1, "P10001F", 6, 1, 2, P, 1, 255, 32,
     "VPISD: SingleParse() failed. Tag (P10001F). Wrong tag type"},
    // Bits, numbered 01 to 16 in the GAS and 0 to 15 in the record.
    {P1, "P1000116", 6, 0, 2, R, 1, 15, 16, nullptr},
    {P1, "P1000101", 6, 0, 2, R, 1, 0, 16, nullptr},
    {P1, "P1999909", 6, 0, 2, R, 9999, 8, 16, nullptr},
    {P1, "P1000100", 6, 1, 2, R, 1, 255, 16,
     "VPISD: SingleParse() failed. Illegal bit number. GAS P1000100"},
    {P1, "P1000117", 6, 1, 2, R, 1, 255, 16,
     "VPISD: SingleParse() failed. Illegal bit number. GAS P1000117"},
    {P1, "P11234T5", 6, 1, 2, R, 1234, 255, 16,
     "VPISD: SingleParse() failed. Illegal bit number. GAS P11234T5"},
    {P1, "P10001F0", 6, 1, 2, R, 1, 255, 16,
     "VPISD: SingleParse() failed. Illegal bit number. GAS P10001F0"},
    {P1, "P1000116", 0, 1, 2, R, 1, 255, 16, nullptr},
    {P1, "P1000116", 1, 1, 2, R, 1, 255, 16, nullptr},
    // The route selection pseudo-tag.
    {P1, "P1!ROUTE", 6, 0, 2, T, 20000, 255, 16, nullptr},
    {P1, "p1!route", 6, 0, 2, T, 20000, 255, 16, nullptr},
    {P1, "P1!ROUTE", 0, 1, 2, R, U, 255, 16, nullptr},
    {P1, "p1!route", 0, 1, 2, R, U, 255, 16, nullptr},
    {P1, "P1!ROUT", 6, 1, 2, R, U, 255, 16, nullptr},
    {P1, "P1!234", 0, 1, 2, R, U, 255, 16, nullptr},
    // Register address: leading digits of positions 2 to 5, never 0.
    {P1, "P10000", 0, 1, 2, R, 0, 255, 16, nullptr},
    {P1, "P112OU", 0, 0, 2, R, 12, 255, 16, nullptr},
    {P1, "P11ROU", 1, 0, 2, R, 1, 255, 16, nullptr},
    {P1, "P1123A", 0, 1, 2, R, U, 255, 16, nullptr},
    {P1, "P1-123", 0, 1, 2, R, U, 255, 16, nullptr},
    {P1, "P1 123", 0, 1, 2, R, U, 255, 16, nullptr},
    // 16-bit registers and their types.
    {P1, "P11234", 1, 0, 2, R, 1234, 255, 16, nullptr},
    {P1, "P11234", 2, 1, 2, R, 1234, 255, 16,
     "VPISD: SingleParse() failed. Tag (P11234). Illegal tag type"},
    {P1, "P11234", 6, 1, 2, R, 1234, 255, 16,
     "VPISD: SingleParse() failed. Tag (P11234). Illegal tag type"},
    // Lengths outside 6 to 8, quoted upper-cased.
    {P1, "P1123", 0, 1, 0, R, U, 255, 16,
     "VPISD: SingleParse() failed. Invalid Tag Address (P1123)"},
    {P1, "p1123", 0, 1, 0, R, U, 255, 16,
     "VPISD: SingleParse() failed. Invalid Tag Address (P1123)"},
    {P1, "P1123456789", 0, 1, 0, R, U, 255, 16,
     "VPISD: SingleParse() failed. Invalid Tag Address (P1123456789)"},
    {P1, "p1!route1", 6, 1, 0, R, U, 255, 16,
     "VPISD: SingleParse() failed. Invalid Tag Address (P1!ROUTE1)"},
    {P1, "", 0, 1, 0, R, U, 255, 16, "VPISD: SingleParse() failed. Invalid Tag Address ()"},
};

class SingleParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SingleParseTable, FillsTheRecordAndLogsAsExpected) {
    const ParseCase &c = GetParam();
    auto context = ContextFor(c.routes);
    TagDescriptor tag = MakeTag(c.gas, c.type, 5);
    ClearLog();

    EXPECT_EQ(Parse(SingleParse, context.get(), tag), c.result);
    EXPECT_EQ(tag.slot, c.slot);
    EXPECT_EQ(tag.kind, c.kind);
    EXPECT_EQ(tag.address, c.address);
    EXPECT_EQ(tag.bit, c.bit);
    EXPECT_EQ(tag.width, c.width);
    EXPECT_EQ(tag.type, c.type) << "inputs are never written";
    EXPECT_EQ(tag.count, 5);
    if (c.message != nullptr) {
        EXPECT_EQ(CountLog(VPI_LOG_EVENT, c.message), 1) << LogDump();
        EXPECT_EQ(LogEntries().size(), 1u) << LogDump();
    } else {
        EXPECT_TRUE(LogEntries().empty()) << LogDump();
    }
}

INSTANTIATE_TEST_SUITE_P(GasForms, SingleParseTable, ::testing::ValuesIn(kCases));

} // namespace
} // namespace vpisd::test
