// The syntax test of a line's two parts, and how the loader reports failing lines.
#include "routing_fixture.h"

namespace vpisd::test {
namespace {

struct SyntaxCase {
    const char *text;
    int isBackup;
    int legal;
};

std::ostream &operator<<(std::ostream &out, const SyntaxCase &c) {
    return out << '"' << c.text << "\" backup " << c.isBackup;
}

class CheckRouteSyntaxTest : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(CheckRouteSyntaxTest, Judges) {
    EXPECT_EQ(CheckRouteSyntax(GetParam().text, GetParam().isBackup), GetParam().legal);
}

INSTANTIATE_TEST_SUITE_P(
    NormalText, CheckRouteSyntaxTest,
    ::testing::Values(
        SyntaxCase{"P1=155", 0, 1}, SyntaxCase{"P1=12", 0, 0}, SyntaxCase{"P1=012", 0, 1},
        SyntaxCase{"P1=1+2", 0, 1}, SyntaxCase{"A1=1+2", 0, 1}, SyntaxCase{"1A=1+2", 0, 0},
        SyntaxCase{"PP=1+2", 0, 1}, SyntaxCase{"P+=1+2", 0, 0}, SyntaxCase{"P1+1+2", 0, 0},
        SyntaxCase{"\xC4"
                   "1=1+2",
                   0, 0},
        SyntaxCase{"P1=1++2", 0, 0}, SyntaxCase{"P1=+1+2", 0, 0}, SyntaxCase{"P1=1+2+", 0, 1},
        SyntaxCase{"P1=256", 0, 0}, SyntaxCase{"P1=255+1", 0, 1}, SyntaxCase{"P1=000", 0, 0},
        SyntaxCase{"P1=0+1", 0, 0}, SyntaxCase{"P1=1000", 0, 0}, SyntaxCase{"P1=0001+2", 0, 0},
        SyntaxCase{"P1=7A+1", 0, 1}, SyntaxCase{"P1=A+12", 0, 0}, SyntaxCase{"P1=1+2=3", 0, 1},
        SyntaxCase{"P1=44+44", 0, 1}, SyntaxCase{"P1=1+2+3+4+5+6+7+8", 0, 1},
        SyntaxCase{"P1=1+2+3+4+5+6+7+8+9", 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    BackupText, CheckRouteSyntaxTest,
    ::testing::Values(SyntaxCase{"155", 1, 1}, SyntaxCase{"3", 1, 0}, SyntaxCase{"12", 1, 0},
                      SyntaxCase{"", 1, 0}, SyntaxCase{"1+2", 1, 1}, SyntaxCase{"+34", 1, 0},
                      SyntaxCase{"1++2", 1, 0}, SyntaxCase{"1+2+", 1, 1}, SyntaxCase{"256", 1, 0},
                      SyntaxCase{"7A", 1, 0}, SyntaxCase{"7A+", 1, 1}, SyntaxCase{"1,2+3", 1, 1},
                      SyntaxCase{"44+1", 1, 1}, SyntaxCase{"1+2+3+4+5+6+7+8", 1, 1},
                      SyntaxCase{"1+2+3+4+5+6+7+8+9", 1, 0},
                      // The name rules belong to the normal text only.
                      SyntaxCase{"P1=1+2", 1, 0}, SyntaxCase{"1=3", 1, 1},
                      SyntaxCase{"12=3", 1, 0}));

TEST(CheckRouteSyntax, NullTextIsIllegal) {
    EXPECT_EQ(CheckRouteSyntax(nullptr, 0), 0);
}

TEST_F(InitFileTest, IllegalPartsAreReportedAndTheLineStoredAllTheSame) {
    cwd.WriteFile("vpiSD12.int", "P1=1+5,2+5\n"   // legal
                                 "P2=5,6\n"       // both parts fail
                                 "P3=1+2,3\n"     // backup fails
                                 "P4=12,34+5\n"   // normal fails
                                 "P5=1+2+\n"      // legal
                                 "P6=1+2,+34\n"); // empty backup drop
    EXPECT_EQ(Load(12), 1);
    auto message = [](int line) {
        return "VpiSD :VPI 12 Line " + std::to_string(line) + " in Init File is illegal";
    };
    EXPECT_EQ(CountLog(32, message(1)), 0);
    EXPECT_EQ(CountLog(32, message(2)), 2) << LogDump();
    EXPECT_EQ(CountLog(32, message(3)), 1);
    EXPECT_EQ(CountLog(32, message(4)), 1);
    EXPECT_EQ(CountLog(32, message(5)), 0);
    EXPECT_EQ(CountLog(32, message(6)), 1);
    // The empty drop counts as 0: the backup part is left out and named.
    EXPECT_EQ(
        CountLog(32, "VPISD: VPI 12 Line 6 in Init File: drop \"\" (empty) not in 1 to 255, backup "
                     "route not used"),
        1);
    EXPECT_EQ(LogEntries().size(), 6U) << LogDump();

    EXPECT_EQ(SlotHex(*context, 2), Slot("P2", {5, 0x2C, 6}));
    EXPECT_EQ(SlotHex(*context, 3), Slot("P3", {1, 2, 0x2C, 3}));
    EXPECT_EQ(SlotHex(*context, 4), Slot("P4", {12, 0x2C, 34, 5}));
    EXPECT_EQ(SlotHex(*context, 5), Slot("P5", {1, 2}));
    EXPECT_EQ(FilledSlots(), 6);
}

TEST_F(InitFileTest, BackupRouteWithDropFortyFourIsReportedAndLeftOut) {
    cwd.WriteFile("vpiSD05.int", "P1=1+2,44+5\nP2=44+3,4+5\nP3=1+2,300\n");
    EXPECT_EQ(Load(5), 1);
    auto line = [](int n) {
        return "VPISD: VPI 5 Line " + std::to_string(n) +
               " in Init File: drop 44 in backup route, backup route not used";
    };
    EXPECT_EQ(CountLog(32, line(1)), 1) << LogDump();
    EXPECT_EQ(CountLog(32, line(2)), 0);
    // 300 is no drop at all, not 44: the part is left out for its range.
    EXPECT_EQ(CountLog(32, line(3)), 0);
    EXPECT_EQ(CountLog(32, "VPISD: VPI 5 Line 3 in Init File: drop 300 not in 1 to 255, backup "
                           "route not used"),
              1);
    EXPECT_EQ(CountLog(32, "VpiSD :VPI 5 Line 3 in Init File is illegal"), 1);
    EXPECT_EQ(LogEntries().size(), 3U) << LogDump();

    EXPECT_EQ(HasBackupRoute(context.get(), 1), 0);
    EXPECT_EQ(HasBackupRoute(context.get(), 2), 1);
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 0);
    for (int slot = 1; slot <= 3; ++slot) {
        context->useBackup[slot] = 1;
    }
    EXPECT_EQ(Encoded(*context, 1), "0102");
    EXPECT_EQ(Encoded(*context, 2), "0405");
    EXPECT_EQ(Encoded(*context, 3), "0102");
    context->useBackup[2] = 0;
    EXPECT_EQ(Encoded(*context, 2), "2C03");
}

} // namespace
} // namespace vpisd::test
