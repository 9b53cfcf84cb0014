// Acknowledgements read from the PLC, and the short sequences the driver sends.
#include "link/handshake.h"
#include "link/line_fixture.h"

namespace vpisd {
namespace {

using test::Bytes;
using test::CountLog;
using test::Hex;
using test::ToHex;

class Acknowledgement : public test::LineTest {
  protected:
    uint16_t Read(const Bytes &line) {
        if (!line.empty())
            pty.Write(line);
        ack[0] = ack[1] = 0;
        return ReadAckResponse(&context, ack);
    }
    uint8_t ack[2] = {};
};

TEST_F(Acknowledgement, AcceptedAnswersWithTheirTraces) {
    for (const char *answer : {"10 11", "10 12", "10 15"}) {
        test::ClearLog();
        EXPECT_EQ(Read(Hex(answer)), 0) << answer;
        EXPECT_EQ(ToHex(Bytes(ack, ack + 2)), answer);
        EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() DLE char was read"), 1);
        const std::string trace =
            std::string("VPISD:ReadAckResponse() Char[0] = 10 Char[1] = ") + (answer + 3);
        EXPECT_EQ(CountLog(LOG_DEBUG, trace), 1) << test::LogDump();
        EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() ACK received OK"), 1);
    }
}

TEST_F(Acknowledgement, NineteenNoiseBytesAreSkippedTwentyAreNot) {
    EXPECT_EQ(Read(test::Cat({Bytes(19, 0xFE), Hex("10 12")})), 0);
    EXPECT_EQ(ack[1], 0x12);
    EXPECT_EQ(Read(test::Cat({Bytes(20, 0x55), Hex("10 12")})), 1);
    // The hunt stopped after twenty bytes: the answer is still on the line.
    uint8_t rest[2] = {};
    EXPECT_EQ(ReceiveBytes(&context, rest, 2), 1);
    EXPECT_EQ(ToHex(Bytes(rest, rest + 2)), "10 12");
}

TEST_F(Acknowledgement, OtherSecondBytesAreRefusedAfterTheTrace) {
    EXPECT_EQ(Read(Hex("10 06")), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() Char[0] = 10 Char[1] = 6"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() ACK received OK"), 0);
    // Bytes of 0x80 and above are traced as sign-extended characters.
    EXPECT_EQ(Read(Hex("10 80")), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() Char[0] = 10 Char[1] = ffffff80"), 1)
        << test::LogDump();
    EXPECT_EQ(Read(Hex("10 FF")), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() Char[0] = 10 Char[1] = ffffffff"), 1);
}

TEST_F(Acknowledgement, SilentLineIsCodeTwoWithOneMessage) {
    EXPECT_EQ(Read({}), 2);
    const auto entries = test::LogEntries();
    ASSERT_EQ(entries.size(), 1u) << test::LogDump();
    EXPECT_EQ(entries[0].level, LOG_DEBUG);
    EXPECT_EQ(entries[0].text, "VPISD:ReadAckResponse() failed to read char");
}

TEST_F(Acknowledgement, LineFallingSilentMidwayIsCodeOne) {
    EXPECT_EQ(Read(Hex("01 02 03")), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() failed to read char"), 1);
    test::ClearLog();
    EXPECT_EQ(Read(Hex("10")), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD:ReadAckResponse() failed to read char following DLE"), 1);
}

TEST_F(Acknowledgement, DriverSendsNakAndReplyAcknowledgement) {
    SendDleNak(&context);
    EXPECT_EQ(ToHex(Sent()), "10 15");
    // DLE and the reply's own toggle, whatever the request carried.
    const Bytes reply = Hex("10 01 12 10 02 80 05 10 03 00");
    SendReplyAck(&context, reply.data());
    EXPECT_EQ(ToHex(Sent()), "10 12");
}

TEST(AdvanceSequence, FlipsToggleAndCountsSequence) {
    VpiContext context{};
    context.toggle[7] = 0x11;
    context.sequence[7] = 254;
    AdvanceSequence(&context, 7);
    EXPECT_EQ(context.toggle[7], 0x12);
    EXPECT_EQ(context.sequence[7], 255);
    AdvanceSequence(&context, 7);
    EXPECT_EQ(context.toggle[7], 0x11);
    EXPECT_EQ(context.sequence[7], 0) << "255 is followed by 0";
    context.toggle[8] = 0x00; // anything but 0x12 becomes 0x12
    AdvanceSequence(&context, 8);
    EXPECT_EQ(context.toggle[8], 0x12);
    EXPECT_EQ(context.toggle[6], 0);
    EXPECT_EQ(context.sequence[6], 0);
    EXPECT_EQ(context.sequence[9], 0);
}

} // namespace
} // namespace vpisd
