#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "driver/command_table.h"
#include "driver/context.h"
#include "routing/route_table.h"
#include "serial/port.h"
#include "vpisd/vpi.h"

namespace {

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { std::memset(&context_, 0, sizeof context_); }
    void TearDown() override {
        if (context_.port != 0)
            vpisd::ClosePort(context_.port);
    }
    int32_t Run(int32_t code, void *data) {
        VpiRequest request{&context_, code, 3, 0, data};
        return vpisd::DispatchCommand(&request);
    }
    VpiContext context_;
};

TEST_F(Dispatch, CodesWithoutARoutineFailAndTouchNothing) {
    std::memset(&context_, 0x77, sizeof context_);
    const VpiContext before = context_;
    uint8_t data[64];
    std::memset(data, 0x33, sizeof data);
    for (int32_t code : {0, 8, 9, 16, 17, 100, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(Run(code, data), VPI_BAD_REQUEST) << "code " << code;
    }
    EXPECT_EQ(std::memcmp(&before, &context_, sizeof context_), 0);
    for (uint8_t b : data)
        ASSERT_EQ(b, 0x33);
    context_.port = 0;
}

TEST_F(Dispatch, ANullRequestIsRefused) {
    EXPECT_EQ(vpisd::DispatchCommand(nullptr), VPI_BAD_REQUEST);
}

TEST_F(Dispatch, TheTableHasSixteenEntriesWithThreeEmpty) {
    int empty = 0;
    for (auto routine : vpisd::kCommandTable)
        empty += routine == nullptr ? 1 : 0;
    EXPECT_EQ(empty, 3);
    EXPECT_EQ(vpisd::kCommandTable[7], nullptr);
    EXPECT_EQ(vpisd::kCommandTable[8], nullptr);
    EXPECT_EQ(vpisd::kCommandTable[15], nullptr);
}

// "!ROUTE" is served from the route table without traffic, so the read and write
// pairs can be compared without a line.
TEST_F(Dispatch, ReadCodesFiveAndSixAreTheSameRoutine) {
    vpisd::StoreRoute(&context_, "P1=1+5,2+5", 1);
    context_.useBackup[1] = 1;
    for (int32_t code : {5, 6}) {
        uint16_t values[2] = {0xAAAA, 0xAAAA};
        TagAccess tag{};
        tag.gas = "p1!route";
        tag.slot = 1;
        tag.kind = VPI_KIND_ROUTE;
        tag.address = 20000;
        tag.bit = 255;
        tag.type = 6;
        tag.count = 1;
        tag.values = values;
        EXPECT_EQ(Run(code, &tag), 0) << "code " << code;
        EXPECT_EQ(values[0], 0xAAAA);
        EXPECT_EQ(values[1], 1);
    }
}

TEST_F(Dispatch, WriteCodesSevenAndTenAreTheSameRoutine) {
    vpisd::StoreRoute(&context_, "P1=1+5,2+5", 1);
    uint16_t values[2] = {0, 0};
    TagAccess tag{};
    tag.gas = "P1!ROUTE";
    tag.slot = 1;
    tag.kind = VPI_KIND_ROUTE;
    tag.type = 6;
    tag.count = 1;
    tag.values = values;
    values[1] = 1;
    EXPECT_EQ(Run(7, &tag), 0);
    EXPECT_EQ(context_.useBackup[1], 1);
    values[1] = 0;
    EXPECT_EQ(Run(10, &tag), 0);
    EXPECT_EQ(context_.useBackup[1], 0);
}

TEST_F(Dispatch, CloseCodesElevenAndTwelveAreTheSameRoutine) {
    for (int32_t code : {11, 12}) {
        ASSERT_EQ(vpisd::OpenPort("NUL", 9600, 8, 0, 2, 8, &context_.port), 0);
        ASSERT_NE(context_.port, 0u);
        EXPECT_EQ(Run(code, nullptr), 0) << "code " << code;
        EXPECT_EQ(context_.port, 0u);
        EXPECT_EQ(Run(code, nullptr), 0) << "second close, code " << code;
    }
}

} // namespace
