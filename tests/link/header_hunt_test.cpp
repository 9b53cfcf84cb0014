// Receiving a reply: the acknowledgement, the hunt for DLE SOH toggle, and the frame read
// byte by byte up to its checksum.
#include "link/frame.h"
#include "link/line_fixture.h"
#include "link/reply.h"

namespace vpisd {
namespace {

using test::Bytes;
using test::Cat;
using test::Hex;
using test::ToHex;

const Bytes kAck = Hex("10 11");
const Bytes kWorkedReply = Hex("10 01 11 30 33 30 41 10 02 86 05 00 00 10 10 03 10 03 48");

class ReceiveReplyTest : public test::LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        std::memset(reply, 0xCC, sizeof reply);
    }
    int Receive(const Bytes &line) {
        if (!line.empty())
            pty.Write(line);
        length = -1;
        return ReceiveReply(&context, reply, &length);
    }
    Bytes Stored() const { return Bytes(reply, reply + length); }
    // Whatever the receiver left on the line.
    Bytes LeftOnLine() {
        Bytes rest;
        uint8_t byte = 0;
        while (ReceiveBytes(&context, &byte, 1) == 1)
            rest.push_back(byte);
        return rest;
    }

    uint8_t reply[kWorkBufferBytes];
    int length = -1;
};

TEST_F(ReceiveReplyTest, WorkedReplyAfterFillersIsStoredWhole) {
    ASSERT_EQ(Receive(Cat({kAck, Hex("FE FE FE"), kWorkedReply})), RECEIVE_OK);
    EXPECT_EQ(length, 19);
    EXPECT_EQ(Stored(), kWorkedReply);
}

TEST_F(ReceiveReplyTest, NothingBeyondTheChecksumIsConsumed) {
    const Bytes frame = test::ReplyFrame(0x12, {}, Hex("86 05 00 00 10 03 10"));
    ASSERT_EQ(Receive(Cat({kAck, frame, Hex("FE 42")})), RECEIVE_OK);
    EXPECT_EQ(Stored(), frame) << "data 10 03 and a trailing data DLE stay inside the frame";
    EXPECT_EQ(ToHex(LeftOnLine()), "FE 42");
}

TEST_F(ReceiveReplyTest, DleNotFollowedBySohCostsAStepWithItsTwoBytes) {
    // The hunt takes 10 10 01 as one failed step, so the following 11 is no header either.
    const Bytes fake = Hex("10 10 01 11 10 02 86 05 10 03 00");
    EXPECT_EQ(Receive(Cat({kAck, fake})), RECEIVE_REFUSED);
    EXPECT_TRUE(LeftOnLine().empty());
    ASSERT_EQ(Receive(Cat({kAck, Hex("10 10 01 10 05 00"), kWorkedReply})), RECEIVE_OK);
    EXPECT_EQ(Stored(), kWorkedReply);
}

TEST_F(ReceiveReplyTest, EitherToggleIsAcceptedInTheHeader) {
    const Bytes odd = test::ReplyFrame(0x11, {}, Hex("80 05"));
    const Bytes even = test::ReplyFrame(0x12, {}, Hex("80 05"));
    ASSERT_EQ(Receive(Cat({kAck, odd})), RECEIVE_OK);
    EXPECT_EQ(Stored(), odd);
    ASSERT_EQ(Receive(Cat({kAck, Hex("10 01 13"), even})), RECEIVE_OK);
    EXPECT_EQ(Stored(), even);
}

TEST_F(ReceiveReplyTest, HeaderHuntGivesUpAfterSixHundredSteps) {
    const Bytes frame = test::ReplyFrame(0x11, {}, Hex("80 05"));
    ASSERT_EQ(Receive(Cat({kAck, Bytes(599, 0x55), frame})), RECEIVE_OK);
    EXPECT_EQ(Stored(), frame);
    EXPECT_EQ(Receive(Cat({kAck, Bytes(600, 0x55), frame})), RECEIVE_REFUSED);
    EXPECT_EQ(LeftOnLine(), frame) << "the hunt must stop reading after its last step";
}

TEST_F(ReceiveReplyTest, AcknowledgementFailuresPassThrough) {
    EXPECT_EQ(Receive({}), RECEIVE_SILENT);
    EXPECT_EQ(Receive(Cat({Hex("10 06"), kWorkedReply})), RECEIVE_REFUSED);
    LeftOnLine();
    EXPECT_EQ(Receive(Bytes(25, 0x00)), RECEIVE_REFUSED);
    EXPECT_EQ(length, -1) << "no length is reported for a failure";
}

TEST_F(ReceiveReplyTest, SilenceAfterAckOrInsideTheFrame) {
    EXPECT_EQ(Receive(kAck), RECEIVE_REFUSED) << "no header: refused, not silent";
    EXPECT_EQ(Receive(Cat({kAck, Hex("10 01 11 10 02 80")})), RECEIVE_SILENT);
    const Bytes noChecksum(kWorkedReply.begin(), kWorkedReply.end() - 1);
    EXPECT_EQ(Receive(Cat({kAck, noChecksum})), RECEIVE_SILENT);
    for (const auto &entry : test::LogEntries()) {
        EXPECT_EQ(entry.text.rfind("VPISD:ReadAckResponse()", 0), 0u)
            << "frame failures after the acknowledgement log nothing: " << entry.text;
    }
}

TEST_F(ReceiveReplyTest, NoFrameEndWithinTheBuffer) {
    ASSERT_EQ(Receive(Cat({kAck, Hex("10 01 11"), Bytes(647, 0x00), Hex("10 03 00")})),
              RECEIVE_REFUSED);
    EXPECT_EQ(test::CountLog(LOG_DEBUG, "VPISD: Could not find <end_header>"), 1);
    for (size_t i = kReplyMaxBytes - 1; i < sizeof reply; ++i) {
        ASSERT_EQ(reply[i], 0xCC) << "written beyond offset 650 at " << i;
    }
    EXPECT_EQ(ToHex(LeftOnLine()), "10 03 00");
}

TEST_F(ReceiveReplyTest, FrameEndingAtTheLastOffsetFillsTheBufferExactly) {
    // ETX at offset 649 and the checksum at 650: the longest frame that can be stored.
    Bytes frame = Cat({Hex("10 01 11"), Bytes(645, 0x00), Hex("10 03")});
    unsigned sum = 0;
    for (size_t i = 2; i < frame.size(); ++i)
        sum += frame[i];
    frame.push_back(static_cast<uint8_t>(0x100u - (sum & 0xFFu)));
    ASSERT_EQ(Receive(Cat({kAck, frame, Hex("77")})), RECEIVE_OK);
    EXPECT_EQ(length, kReplyMaxBytes);
    EXPECT_EQ(Stored(), frame);
    EXPECT_EQ(reply[kReplyMaxBytes], 0xCC);
    EXPECT_EQ(ToHex(LeftOnLine()), "77");
}

} // namespace
} // namespace vpisd
