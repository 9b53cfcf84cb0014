// The character sets of positions 2 to 7: each position lets through its own characters and
// only those, and nothing past position 7 is ever accepted.
#include <gtest/gtest.h>

#include <string>

#include "tags/parser.h"

namespace vpisd {
namespace {

TEST(TagCharacters, EveryGasFormPasses) {
    for (const char *gas : {"P11234", "0099990", "P10001F", "P1000116", "P1000009", "P1!ROUTE",
                            "P112OU", "P1!R", "P1", "!!1234"}) {
        EXPECT_EQ(CheckTagCharacters(gas), 1) << gas;
    }
}

TEST(TagCharacters, EachPositionHasItsOwnSet) {
    // Letters of "!ROUTE" only at their own positions, "F" and the bit tens digit only at 6.
    for (const char *gas :
         {"P1R234", "P11!34", "P112R4", "P1123O", "P1F234", "P11F34", "P1123F", "P112342",
          "P112349", "P11234T!", "P11234TF", "P1!ROUTF", "P1123E", "P1ROUTE!"}) {
        EXPECT_EQ(CheckTagCharacters(gas), 0) << gas;
    }
    EXPECT_EQ(CheckTagCharacters("P11234T5"), 1);
    EXPECT_EQ(CheckTagCharacters("P1123410"), 1);
}

TEST(TagCharacters, LowerCaseSignsSpacesAndControlsFail) {
    for (const char *gas : {"P1!route", "p1123f", "P1 123", "P1+123", "P1-123", "P1123\t",
                            "P1\x7f"
                            "123",
                            "P1\xb1"
                            "123"}) {
        EXPECT_EQ(CheckTagCharacters(gas), 0) << gas;
    }
}

TEST(TagCharacters, NothingBeyondPositionSevenPasses) {
    EXPECT_EQ(CheckTagCharacters("P1000116"), 1);
    EXPECT_EQ(CheckTagCharacters("P10001160"), 0);
    EXPECT_EQ(CheckTagCharacters(std::string(300, '1').c_str()), 0);
    EXPECT_EQ(CheckTagCharacters(nullptr), 0);
}

} // namespace
} // namespace vpisd
