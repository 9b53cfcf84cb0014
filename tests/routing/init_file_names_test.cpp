// Which init file a VPI loads, and what it logs when it finds only the older one or none.
#include <sys/stat.h>

#include <climits>
#include <cstdio>

#include "routing_fixture.h"

namespace vpisd::test {
namespace {

const std::string kOlder = "VPISD: An older version init file, VpiSD.INT was found";
const std::string kNotFound = "VpiSD : Init File not found, Peer To Peer Mode";

struct NameCase {
    int32_t vpi;
    const char *file;
};

class InitFileNameTest : public InitFileTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(InitFileNameTest, LoadsTheFileOfItsNumberBeforeTheOlderOne) {
    cwd.WriteFile(GetParam().file, "P1=101\n");
    cwd.WriteFile("vpiSD.int", "P9=109\nP8=108\n");
    EXPECT_EQ(Load(GetParam().vpi), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P1", {101}));
    EXPECT_EQ(FilledSlots(), 1);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

INSTANTIATE_TEST_SUITE_P(Numbers, InitFileNameTest,
                         ::testing::Values(NameCase{3, "vpiSD03.int"}, NameCase{7, "vpiSD07.int"},
                                           NameCase{12, "vpiSD12.int"},
                                           NameCase{123, "vpiSD123.int"},
                                           NameCase{-5, "vpiSD-05.int"},
                                           NameCase{INT_MAX, "vpiSD2147483647.int"},
                                           NameCase{INT_MIN, "vpiSD-2147483648.int"}));

TEST_F(InitFileTest, FallsBackToTheOlderFile) {
    cwd.WriteFile("vpiSD07.int", "P7=107\n"); // another VPI's file
    cwd.WriteFile("vpisd03.int", "P3=103\n"); // names are matched as written
    cwd.WriteFile("vpiSD.int", "P9=109\nP8=108\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P9", {109}));
    EXPECT_EQ(SlotHex(*context, 2), Slot("P8", {108}));
    EXPECT_EQ(FilledSlots(), 2);
    EXPECT_EQ(CountLog(32, kOlder), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

TEST_F(InitFileTest, DirectoryIsAFileThatDoesNotOpen) {
    ASSERT_EQ(mkdir("vpiSD03.int", 0700), 0);
    cwd.WriteFile("vpiSD.int", "P9=109\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P9", {109}));
    EXPECT_EQ(CountLog(32, kOlder), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();

    ClearLog();
    context = ZeroContext();
    ASSERT_EQ(std::remove("vpiSD.int"), 0);
    ASSERT_EQ(mkdir("vpiSD.int", 0700), 0);
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(FilledSlots(), 0);
    EXPECT_EQ(CountLog(32, kNotFound), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

TEST_F(InitFileTest, WithoutAFileRunsPeerToPeer) {
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(FilledSlots(), 0);
    EXPECT_EQ(HasRoutes(context.get()), 0);
    EXPECT_EQ(CountLog(32, kNotFound), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

} // namespace
} // namespace vpisd::test
