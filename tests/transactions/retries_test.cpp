// A PLC that stops answering: ten tries with a fresh link before each retry, the numbered
// retry traces, the final failure and its route switch, and the early end when a link
// cannot be re-established.
#include "line_fixture.h"

#include "routing/route_table.h"

namespace vpisd::test {
namespace {

class RetriesTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        StoreRoute(&context, "P1=1+5,2+5", 1);
    }
    std::string Route(const ParsedRequest &request) const {
        return {request.route.begin(), request.route.end()};
    }
    std::vector<PeerEvent::Kind> Kinds() const {
        std::vector<PeerEvent::Kind> kinds;
        for (const PeerEvent &event : plc.Events()) {
            kinds.push_back(event.kind);
        }
        return kinds;
    }
};

// Enquiries answered while index < answered, silence afterwards.
ScriptedPlc::EnquiryScript AnswerFirstEnquiries(int answered) {
    return [answered](int index) { return index < answered ? Hex("10 12") : Bytes{}; };
}

TEST_F(RetriesTest, SilentPlcGetsTenTriesEachAfterAFreshLink) {
    context.sequence[1] = 0x07;
    TagAccess tag = Tag("p10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 2) << LogDump();

    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 10u);
    for (const ParsedRequest &request : requests) {
        EXPECT_EQ(request.sequence(), 0x07) << "every try sends the body built before the first";
        EXPECT_EQ(Route(request), "0105") << "the route changes only after the request";
    }
    // Try 0: enquiry, DLE NAK, frame. Each retry: enquiry, DLE NAK, pause, DLE NAK, DLE NAK, frame.
    std::vector<PeerEvent::Kind> expected{PeerEvent::Enquiry, PeerEvent::DleNak,
                                          PeerEvent::Request};
    for (int retry = 1; retry < 10; ++retry) {
        expected.insert(expected.end(), {PeerEvent::Enquiry, PeerEvent::DleNak, PeerEvent::DleNak,
                                         PeerEvent::DleNak, PeerEvent::Request});
    }
    EXPECT_EQ(Kinds(), expected);

    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Read Retries = 0 GAS=P10001"), 0);
    for (int retry = 1; retry < 10; ++retry) {
        EXPECT_EQ(
            CountLog(LOG_DEBUG, "VPISD: Read Retries = " + std::to_string(retry) + " GAS=P10001"),
            1)
            << retry;
    }
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Read Retries = 10 GAS=P10001"), 0);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Read Failed! GAS = P10001 rc = 2"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Comms fail! Backup Route will be used. VPI 3 PLC 1"), 1);
    EXPECT_EQ(context.useBackup[1], 1);
    EXPECT_EQ(context.sequence[1], 0x07);
    EXPECT_EQ(values[1], 0xBEEF) << "a failed read leaves the buffer alone";

    // The next request takes the backup route, and its reversed reply route is accepted.
    plc.ClearRecord();
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x00, 0x2A}));
    });
    EXPECT_EQ(Read(tag), 0) << LogDump();
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Route(Requests()[0]), "0205");
    EXPECT_EQ(values[1], 0x2A);
    EXPECT_EQ(context.sequence[1], 0x08);
}

TEST_F(RetriesTest, SilentPlcWriteTracesEveryTryAndSwitchesBack) {
    context.useBackup[1] = 1;
    TagAccess tag = Tag("P10001", 1, 1, 1);
    values[1] = 0x55;

    EXPECT_EQ(Write(tag), 2) << LogDump();

    EXPECT_EQ(Requests().size(), 10u);
    EXPECT_EQ(plc.Count(PeerEvent::Enquiry), 10);
    for (int attempt = 0; attempt < 10; ++attempt) {
        EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Write Retries = " + std::to_string(attempt)), 1)
            << attempt;
    }
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Sending 'Write' Frame"), 10);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Processing write reply FRAME"), 0);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Write Failed! GAS = P10001 rc = 2"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Comms fail! Normal Route will be used. VPI 3 PLC 1"), 1);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(RetriesTest, UnansweredFirstLinkEndsTheReadWithoutAFrame) {
    plc.OnEnquiry(AnswerFirstEnquiries(0));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 2) << LogDump();
    EXPECT_EQ(plc.Count(PeerEvent::Request), 0);
    EXPECT_EQ(plc.Count(PeerEvent::Enquiry), 20);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Read Failed! GAS = P10001 rc = 2"), 1);
    EXPECT_EQ(CountEvents(LOG_DEBUG, "VPISD: Read Retries"), 0);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
    EXPECT_EQ(context.connected[1], 0);
}

TEST_F(RetriesTest, UnansweredRelinkEndsTheReadAtOnceWithoutSwitch) {
    plc.OnEnquiry(AnswerFirstEnquiries(2)); // the first link and the one before try 1
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 2) << LogDump();
    EXPECT_EQ(plc.Count(PeerEvent::Request), 2);
    EXPECT_EQ(plc.Count(PeerEvent::Enquiry), 22);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Read Retries = 2 GAS=P10001"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Establish link on Read retry Failed! GAS P10001"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Read Failed!"), 0);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
    EXPECT_EQ(context.connected[1], 1) << "a failed relink leaves the slot marked linked";
}

TEST_F(RetriesTest, UnansweredRelinkEndsTheWriteAtOnceWithoutSwitch) {
    plc.OnEnquiry(AnswerFirstEnquiries(1)); // only the first link
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Write(tag), 2) << LogDump();
    EXPECT_EQ(plc.Count(PeerEvent::Request), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Write Retries = 1"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Establish link on Write retry Failed! GAS P10001"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Write Failed!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(RetriesTest, UnansweredFirstLinkEndsTheWriteWithoutAFrame) {
    plc.OnEnquiry(AnswerFirstEnquiries(0));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Write(tag), 2) << LogDump();
    EXPECT_EQ(plc.Count(PeerEvent::Request), 0);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Write Failed! GAS = P10001 rc = 2"), 1);
    EXPECT_EQ(CountEvents(LOG_DEBUG, "VPISD: Write Retries"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
}

TEST_F(RetriesTest, RetryTakesTheToggleFromTheFreshLink) {
    // The first link answers 10 12 (toggle 0x11), the relink 10 11 (toggle 0x12).
    plc.OnEnquiry([](int index) { return index == 0 ? Hex("10 12") : Hex("10 11"); });
    plc.QueueRequest([](const ParsedRequest &, int) { return Bytes{}; });
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x00, 0x01}));
    });
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].toggle, 0x11);
    EXPECT_EQ(requests[1].toggle, 0x12);
    EXPECT_EQ(context.toggle[1], 0x11) << "flipped once after the accepted reply";
}

} // namespace
} // namespace vpisd::test
