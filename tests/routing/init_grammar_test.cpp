// The init-file grammar that the loader and the host's check share: what a drop is and which
// faults it can have, and what is wrong with a PLC name. Each reader words these its own way.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "routing/init_grammar.h"

namespace vpisd::test {
namespace {

struct DropCase {
    const char *text;
    DropFault fault;
    unsigned storedValue; // 0: the drop leaves its part out
};

TEST(InitGrammar, DropsAreClassifiedAndStoredByTheirLeadingDigits) {
    const DropCase cases[] = {
        {"7", DropFault::None, 7},          {"255", DropFault::None, 255},
        {"7A", DropFault::None, 7},         {"12AB", DropFault::TooLong, 12},
        {"", DropFault::Empty, 0},          {"256", DropFault::OutOfRange, 0},
        {"300A", DropFault::OutOfRange, 0}, {"0001", DropFault::OutOfRange, 0},
        {"000", DropFault::Zero, 0},        {"A", DropFault::Zero, 0},
    };
    for (const DropCase &c : cases) {
        SCOPED_TRACE(c.text);
        const DropText drop = ScanDrop(c.text, 0, std::strlen(c.text));
        EXPECT_EQ(drop.end, std::strlen(c.text));
        EXPECT_EQ(ClassifyDrop(drop), c.fault);
        EXPECT_EQ(IsStoredDrop(c.fault), c.storedValue != 0);
        if (c.storedValue != 0) {
            EXPECT_EQ(drop.value, c.storedValue);
        }
    }
}

TEST(InitGrammar, APartSplitsAtEveryPlusAndATrailingPlusAddsNoDrop) {
    const char part[] = "7++12AB+256+";
    std::vector<DropFault> faults;
    for (size_t at = 0; at < std::strlen(part);) {
        const DropText drop = ScanDrop(part, at, std::strlen(part));
        faults.push_back(ClassifyDrop(drop));
        at = drop.end + 1;
    }
    EXPECT_EQ(faults, (std::vector<DropFault>{DropFault::None, DropFault::Empty, DropFault::TooLong,
                                              DropFault::OutOfRange}));
}

TEST(InitGrammar, NameFaultsAreReportedEachOnItsOwn) {
    const struct {
        const char *text;
        unsigned faults;
    } cases[] = {
        {"P1=5", 0},
        {"p1=5", 0},
        {"1A=5", NAME_FIRST_NOT_LETTER},
        {"P+=5", NAME_SECOND_NOT_LETTER_OR_DIGIT},
        {"P1+5", NAME_WITHOUT_EQUALS},
        {"1A+5", NAME_FIRST_NOT_LETTER | NAME_WITHOUT_EQUALS},
        {"P", NAME_FIRST_NOT_LETTER | NAME_WITHOUT_EQUALS},
        {"", NAME_FIRST_NOT_LETTER | NAME_WITHOUT_EQUALS},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(RouteNameFaults(c.text, std::strlen(c.text)), c.faults) << '"' << c.text << '"';
    }
}

} // namespace
} // namespace vpisd::test
