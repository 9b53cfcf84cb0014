// Link establishment against a scripted PLC, and the whole exchange of one register read.
#include "link/frame.h"
#include "link/handshake.h"
#include "link/line_fixture.h"
#include "link/reply.h"

#include <chrono>

namespace vpisd {
namespace {

using test::Bytes;
using test::CountLog;
using test::Hex;
using test::PeerEvent;
using test::ToHex;

const Bytes kEnquiry = Hex("FE FE FE FE FE FE FE FE FE FE 10 05");

class LinkEstablishment : public test::LineTest {
  protected:
    test::ScriptedPlc plc{pty};
};

TEST_F(LinkEstablishment, AnswerSetsTheNextToggle) {
    struct Case {
        const char *answer;
        uint8_t toggle;
    };
    for (const Case &c : {Case{"10 15", 0x11}, Case{"10 12", 0x11}, Case{"10 11", 0x12}}) {
        context.connected[5] = 0;
        context.toggle[5] = 0;
        context.sequence[5] = 0x2A;
        plc.QueueEnquiry(Hex(c.answer));
        ASSERT_EQ(EstablishLinkToPlc(&context, 5), 1) << c.answer;
        EXPECT_EQ(context.toggle[5], c.toggle) << c.answer;
        EXPECT_EQ(context.connected[5], 1);
        EXPECT_EQ(context.sequence[5], 0x2A) << "the sequence byte is kept";
        EXPECT_EQ(context.connected[4] + context.connected[6], 0);
    }
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: VPI 3 Establishing link to PLC 5"), 3);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: VPI 3 PLC 5 connected sucessfully"), 3);
    EXPECT_EQ(ToHex(plc.Received()), ToHex(test::Cat({kEnquiry, kEnquiry, kEnquiry})));
}

TEST_F(LinkEstablishment, NoisyOrRefusedAnswersCostATry) {
    plc.QueueEnquiry(Hex("10 06"));                               // refused
    plc.QueueEnquiry({});                                         // silence
    plc.QueueEnquiry(test::Cat({Bytes(19, 0x33), Hex("10 11")})); // noise, then the answer
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(EstablishLinkToPlc(&context, 0), 1) << test::LogDump();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(context.toggle[0], 0x12);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry 1"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry 2"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry 3"), 0);
    // Between tries: DLE NAK, the pause, a purge, DLE NAK; then the enquiry again.
    std::vector<PeerEvent::Kind> kinds;
    for (const auto &event : plc.Events())
        kinds.push_back(event.kind);
    const std::vector<PeerEvent::Kind> expected = {
        PeerEvent::Enquiry, PeerEvent::DleNak, PeerEvent::DleNak, PeerEvent::Enquiry,
        PeerEvent::DleNak,  PeerEvent::DleNak, PeerEvent::Enquiry};
    EXPECT_EQ(kinds, expected);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2 * kRetryPauseMs));
    // The pause and an input purge of at least one 50 ms window lie between the two NAKs,
    // besides the purge that precedes every send.
    const auto events = plc.Events();
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].kind != PeerEvent::DleNak || events[i - 1].kind != PeerEvent::DleNak)
            continue;
        EXPECT_GE(events[i].at - events[i - 1].at,
                  std::chrono::milliseconds(kRetryPauseMs + 75)); // 200 ms in practice
    }
}

TEST_F(LinkEstablishment, SilentPlcFailsAfterTwentyEnquiries) {
    plc.OnEnquiry([](int) { return Bytes{}; });
    context.connected[9] = 1; // linked before: a failure leaves the state as it was
    context.toggle[9] = 0x12;
    EXPECT_EQ(EstablishLinkToPlc(&context, 9), 0);
    EXPECT_EQ(plc.Count(PeerEvent::Enquiry), kLinkTries);
    EXPECT_EQ(plc.Count(PeerEvent::DleNak), 2 * (kLinkTries - 1));
    EXPECT_EQ(context.connected[9], 1);
    EXPECT_EQ(context.toggle[9], 0x12);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Failed to connect to VPI 3 PLC 9"), 1);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: VPI 3 PLC 9 connected sucessfully"), 0);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry 0"), 0);
    for (int retry = 1; retry < kLinkTries; ++retry) {
        EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:EstablishLinkToPlc() Retry " + std::to_string(retry)),
                  1);
    }
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() failed to read char"), kLinkTries);
}

TEST_F(LinkEstablishment, WholeExchangeOfOneRegisterRead) {
    const Bytes reply = Hex("10 01 11 10 02 86 05 00 00 12 34 10 03 F9");
    plc.QueueEnquiry(Hex("10 12"));
    plc.OnRequest([&](const test::ParsedRequest &request, int) {
        EXPECT_TRUE(request.checksumOk);
        return test::Cat({Hex("10 11"), reply});
    });
    context.sequence[0] = 0x05;
    TagAccess tag{};
    tag.slot = 0;
    VpiRequest request{&context, VPI_READ, 3, 0, &tag};

    ASSERT_EQ(EstablishLinkToPlc(&context, 0), 1);
    EXPECT_EQ(context.toggle[0], 0x11);
    const Bytes body = Hex("00 05 00 C6 00 00");
    uint8_t frame[kWorkBufferBytes];
    const int frameLength =
        BuildFrame(&request, body.data(), static_cast<int>(body.size()), nullptr, 0, frame);
    SendDleNak(&context);
    EXPECT_EQ(SendFrame(&context, frame, frameLength), 1);
    uint8_t received[kWorkBufferBytes];
    int length = 0;
    ASSERT_EQ(ReceiveReply(&context, received, &length), RECEIVE_OK);
    SendReplyAck(&context, received);
    ASSERT_EQ(CheckReplyFrame(received, length, 0), 1);
    uint8_t copy[kWorkBufferBytes];
    const int copyLength = CopyReply(received, copy, length);
    ASSERT_EQ(CheckReplyRoute(copy, copyLength, nullptr, 0), 1);
    uint8_t data[kWorkBufferBytes];
    const int dataLength = ExtractReplyData(copy, copyLength, data, 0);
    EXPECT_EQ(ToHex(Bytes(data, data + dataLength)), "86 05 00 00 12 34");
    AdvanceSequence(&context, 0);
    EXPECT_EQ(context.toggle[0], 0x12);
    EXPECT_EQ(context.sequence[0], 0x06);

    ASSERT_TRUE(plc.WaitFor(PeerEvent::ReplyAck, 1, 1000));
    EXPECT_EQ(ToHex(plc.Received()), "FE FE FE FE FE FE FE FE FE FE 10 05 10 15 "
                                     "10 01 11 10 02 00 05 00 C6 00 00 10 03 FF FE 10 11");
}

} // namespace
} // namespace vpisd
