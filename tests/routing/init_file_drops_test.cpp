// Drops the file cannot mean: the part that holds one is left out and named to the operator,
// so no frame ever goes over a drop the file did not give.
#include "routing_fixture.h"

namespace vpisd::test {
namespace {

std::string Illegal(int line) {
    return "VpiSD :VPI 3 Line " + std::to_string(line) + " in Init File is illegal";
}
std::string LeftOut(int line, const std::string &drop, const char *part) {
    return "VPISD: VPI 3 Line " + std::to_string(line) + " in Init File: drop " + drop +
           " not in 1 to 255, " + part + " route not used";
}

struct DropCase {
    const char *line;
    std::string slot;
    std::vector<std::string> messages; // all of them, in order
};

std::ostream &operator<<(std::ostream &out, const DropCase &c) {
    return out << c.line;
}

class DropRangeTest : public InitFileTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropRangeTest, LeavesThePartOutAndNamesTheDrop) {
    cwd.WriteFile("vpiSD03.int", std::string("P1=101\n") + GetParam().line + "\nP3=103\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P1", {101}));
    EXPECT_EQ(SlotHex(*context, 2), GetParam().slot);
    EXPECT_EQ(SlotHex(*context, 3), Slot("P3", {103})) << "loading goes on";
    std::vector<std::string> texts;
    for (const LogEntry &entry : LogEntries()) {
        EXPECT_EQ(entry.level, 32) << entry.text;
        texts.push_back(entry.text);
    }
    EXPECT_EQ(texts, GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DropRangeTest,
    ::testing::Values(
        DropCase{"P4=257", Slot("", {}), {Illegal(2), LeftOut(2, "257", "normal")}},
        DropCase{"P4=1+300", Slot("", {}), {Illegal(2), LeftOut(2, "300", "normal")}},
        DropCase{"P4=0+5,6+7", Slot("", {}), {Illegal(2), LeftOut(2, "0", "normal")}},
        DropCase{"P4=1++2", Slot("", {}), {Illegal(2), LeftOut(2, "\"\" (empty)", "normal")}},
        DropCase{"P4=1+2,3+0", Slot("P4", {1, 2}), {Illegal(2), LeftOut(2, "0", "backup")}},
        DropCase{"P4=1+2,0012", Slot("P4", {1, 2}), {Illegal(2), LeftOut(2, "0012", "backup")}},
        DropCase{
            "P4=300,400",
            Slot("", {}),
            {Illegal(2), Illegal(2), LeftOut(2, "300", "normal"), LeftOut(2, "400", "backup")}},
        // The drop is shown cut to twelve characters.
        DropCase{"P4=1234567890123456789X",
                 Slot("", {}),
                 {Illegal(2), LeftOut(2, "123456789012", "normal")}},
        // Illegal for other reasons only: stored as the line gives its drops.
        DropCase{"P4=7", Slot("P4", {7}), {Illegal(2)}},
        DropCase{"P4=1+2+", Slot("P4", {1, 2}), {}},
        DropCase{"P4=7A+3,12AB", Slot("P4", {7, 3, 0x2C, 12}), {Illegal(2)}}));

} // namespace
} // namespace vpisd::test
