// Error replies from the PLC: a read counts code 0x11 in its last try as a communication
// failure (result 2, route switch); a write counts every error reply as refused.
#include "line_fixture.h"

#include "routing/route_table.h"

namespace vpisd::test {
namespace {

class ErrorReplyTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        StoreRoute(&context, "P1=1+5,2+5", 1);
    }
};

ScriptedPlc::RequestScript AnswerError(uint8_t code) {
    return
        [code](const ParsedRequest &request, int) { return GoodAnswer(request, ErrorReply(code)); };
}

TEST_F(ErrorReplyTest, NoAnswerCodeInTheLastReadTryGivesTwoAndSwitchesEachTime) {
    plc.OnRequest(AnswerError(0x11));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 2) << LogDump();
    EXPECT_EQ(Requests().size(), 10u);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 11 Hex"), 10);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Read Failed! GAS = P10001 rc = 2"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Comms fail! Backup Route will be used. VPI 3 PLC 1"), 1);
    EXPECT_EQ(context.useBackup[1], 1);

    // The next request goes the backup way; failing again, it switches back.
    plc.ClearRecord();
    EXPECT_EQ(Read(tag), 2) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(std::string(requests[0].route.begin(), requests[0].route.end()), "0205");
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Comms fail! Normal Route will be used. VPI 3 PLC 1"), 1);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(ErrorReplyTest, NoAnswerCodeInAnEarlierTryOnlyCountsIfLast) {
    plc.OnRequest([](const ParsedRequest &request, int index) {
        if (index < 9) {
            return GoodAnswer(request, ErrorReply(0x11));
        }
        Bytes garbled = GoodAnswer(request, ReadReply(request, {0x00, 0x01}));
        garbled.back() = static_cast<uint8_t>(garbled.back() + 1);
        return garbled;
    });
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 1) << LogDump();
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Read Failed! GAS = P10001 rc = 1"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(ErrorReplyTest, OtherErrorCodeEndsTheReadWithOne) {
    plc.OnRequest(AnswerError(0x04));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 1) << LogDump();
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 4 Hex"), 10);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
}

TEST_F(ErrorReplyTest, NoAnswerCodeEndsAWriteWithOneAndNoSwitch) {
    plc.OnRequest(AnswerError(0x11));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Write(tag), 1) << LogDump();
    EXPECT_EQ(Requests().size(), 10u);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Write Failed! GAS = P10001 rc = 1"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(ErrorReplyTest, ErrorReplyFollowedByAcceptanceSucceeds) {
    plc.QueueRequest(AnswerError(0x11));
    plc.OnRequest(
        [](const ParsedRequest &request, int) { return GoodAnswer(request, WriteReply(request)); });
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Write(tag), 0) << LogDump();
    EXPECT_EQ(Requests().size(), 2u);
    EXPECT_EQ(CountLog(LOG_DEBUG, "Write completed successfully"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Write Failed!"), 0);
}

} // namespace
} // namespace vpisd::test
