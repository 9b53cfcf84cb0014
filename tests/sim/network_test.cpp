// The network's answers to whole exchanges, bytes in and bytes out, without a line in between.
#include "sim/network.h"

#include "driver_side.h"
#include "support/pty.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

using test::WireFrame;
using vpisd::test::Hex;
using vpisd::test::ToHex;

constexpr const char *kNetwork = R"(
[plc P1]
route = 10+3
backup = 2+3
1 = 0x1003
100 = 0x1234 0x0010
[plc P2]
route = 10+4+7
100 = 42
[plc P0]
direct = yes
100 = 0x1234
)";

class NetworkTest : public ::testing::Test {
  protected:
    // Feeds the bytes as they would arrive and returns everything sent back, in order.
    std::string Exchange(const std::vector<uint8_t> &bytes) {
        last = {};
        for (uint8_t b : bytes) {
            LinkEvent event;
            if (!reader.Feed(b, event))
                continue;
            for (Transmission &t : network.Handle(event, Clock::now()))
                last.push_back(t);
        }
        std::vector<uint8_t> all;
        for (const Transmission &t : last)
            all.insert(all.end(), t.bytes.begin(), t.bytes.end());
        return ToHex(all);
    }
    std::string Request(uint8_t toggle, const std::string &route, const std::string &body) {
        return Exchange(WireFrame(toggle, route, Hex(body)));
    }
    static std::string Reply(uint8_t toggle, const std::string &route, const std::string &body,
                             const std::string &ack = "") {
        return ToHex(Hex(ack + " 10 " + (toggle == 0x11 ? "11" : "12"))) + " " +
               ToHex(WireFrame(toggle, route, Hex(body), false));
    }
    void AddFault(const char *text) { network.faults().Add(ParseFault(text), Clock::now()); }
    uint64_t Stat(const char *name) { return network.stats().Get(name); }

    Network network{ParseNetwork(kNetwork)};
    FrameReader reader;
    Answer last;
};

TEST_F(NetworkTest, WorkedExchangeWithTheDirectPlc) {
    EXPECT_EQ(Exchange(Hex("FE FE FE FE FE FE FE FE FE FE 10 05")), "10 12");
    EXPECT_EQ(Exchange(Hex("10 15")), "");
    EXPECT_EQ(Exchange(Hex("10 01 11 10 02 00 05 00 C6 00 00 10 03 FF FE")),
              "10 11 10 01 11 10 02 86 05 00 00 12 34 10 03 F9");
    ASSERT_EQ(last.size(), 2u) << "acknowledgement and reply are separate transmissions";
    EXPECT_EQ(Exchange(Hex("10 11")), "");
    EXPECT_EQ(Stat("enquiries"), 1u);
    EXPECT_EQ(Stat("fillers"), 11u);
    EXPECT_EQ(Stat("naks_received"), 1u);
    EXPECT_EQ(Stat("reply_acks"), 1u);
    EXPECT_EQ(Stat("requests.P0.direct"), 1u);
    EXPECT_EQ(Stat("reads"), 1u);
}

TEST_F(NetworkTest, EnquiryAnswerNamesTheLastAcceptedToggle) {
    EXPECT_EQ(Exchange(Hex("10 05")), "10 12");
    Request(0x11, "", "00 01 00 00 00 00");
    EXPECT_EQ(Exchange(Hex("10 05")), "10 11");
    Request(0x12, "", "00 02 00 00 00 00");
    EXPECT_EQ(Exchange(Hex("10 05")), "10 12");
    // A refused frame is not accepted and does not move the answer.
    auto bad = WireFrame(0x11, "", Hex("00 03 00 00 00 00"));
    bad[bad.size() - 2] ^= 0xFF;
    EXPECT_EQ(Exchange(bad), "10 15");
    EXPECT_EQ(Exchange(Hex("10 05")), "10 12");

    NetworkConfig fixed = ParseNetwork(kNetwork);
    fixed.enquiryAnswer = 0x15;
    Network network15(fixed);
    LinkEvent enquiry;
    enquiry.kind = LinkEvent::Kind::Enquiry;
    EXPECT_EQ(ToHex(network15.Handle(enquiry, Clock::now()).at(0).bytes), "10 15");
}

TEST_F(NetworkTest, RoutedReplyCarriesTheRouteReversed) {
    // The worked reply: a data 10 03 in the body, route 0A03 reversed to 030A.
    EXPECT_EQ(Request(0x11, "0A03", "00 05 00 00 00 00"),
              "10 11 10 01 11 30 33 30 41 10 02 86 05 00 00 10 10 03 10 03 48");
    EXPECT_EQ(Request(0x12, "0A0407", "00 06 00 C6 00 00"),
              Reply(0x12, "07040A", "86 06 00 00 00 2A"));
    EXPECT_EQ(Request(0x11, "0203", "00 07 00 C6 00 01"),
              Reply(0x11, "0302", "86 07 00 00 12 34 00 10"));
    EXPECT_EQ(Stat("requests.P1.normal"), 1u);
    EXPECT_EQ(Stat("requests.P1.backup"), 1u);
    EXPECT_EQ(Stat("requests.P2.normal"), 1u);
}

TEST_F(NetworkTest, RoutesThatReachNoPlcGetInvalidRoute) {
    for (const char *route : {"0A", "0A0304", "030A", "0a03", "0A0", "0G03"}) {
        const std::string answer = Request(0x11, route, "00 09 00 00 00 00");
        EXPECT_NE(answer.find("10 02 A2 09 1D 10 03"), std::string::npos)
            << route << ": " << answer;
    }
    EXPECT_EQ(Stat("errors_sent.1D"), 6u);
    EXPECT_EQ(Stat("requests.none.unknown"), 6u);

    Network noDirect(ParseNetwork("[plc P1]\nroute = 1\n"));
    FrameReader r;
    LinkEvent event;
    for (uint8_t b : WireFrame(0x11, "", Hex("00 04 00 00 00 00"))) {
        if (!r.Feed(b, event) || event.kind != LinkEvent::Kind::Frame)
            continue;
        const Answer a = noDirect.Handle(event, Clock::now());
        ASSERT_EQ(a.size(), 2u);
        EXPECT_EQ(ToHex(a[1].bytes), ToHex(WireFrame(0x11, "", Hex("A2 04 1D"), false)));
    }
}

TEST_F(NetworkTest, DeadPathAnswersRemoteNotActiveAndBackupStillWorks) {
    NetworkConfig config = ParseNetwork(kNetwork);
    config.plcs[0].normalDown = true;
    config.plcs[2].normalDown = true;
    network = Network(config);
    EXPECT_EQ(Request(0x11, "0A03", "00 05 00 C6 00 00"), Reply(0x11, "030A", "A2 05 11"));
    EXPECT_EQ(Request(0x12, "0203", "00 05 00 C6 00 00"), Reply(0x12, "0302", "86 05 00 00 12 34"));
    EXPECT_EQ(Request(0x11, "", "00 05 00 C6 00 00"), "") << "no interface to report a direct PLC";
    EXPECT_EQ(Request(0x11, "0A03", "02 06 00 C6 00 07 FF FF"), Reply(0x11, "030A", "A2 06 11"));
    EXPECT_EQ(network.FindPlc("P1").Get(100), 0x1234) << "a dead PLC executes nothing";
}

TEST_F(NetworkTest, DamagedRequestsGetDleNakOnly) {
    auto frame = WireFrame(0x11, "0A03", Hex("02 05 00 C6 00 07 FF FF"));
    frame[frame.size() - 2] = static_cast<uint8_t>(frame[frame.size() - 2] + 1);
    EXPECT_EQ(Exchange(frame), "10 15");
    EXPECT_EQ(Exchange(WireFrame(0x13, "0A03", Hex("02 05 00 C6 00 07 FF FF"))), "10 15");
    EXPECT_EQ(Stat("frames_bad"), 2u);
    EXPECT_EQ(network.FindPlc("P1").Get(100), 0x1234);
}

TEST_F(NetworkTest, EachFaultKindShapesTheAnswer) {
    const std::string body = "00 05 00 C6 00 00";
    const std::string good = Reply(0x11, "030A", "86 05 00 00 12 34");
    const auto goodBytes = Hex(good);
    struct Case {
        const char *fault;
        std::string expected;
    };
    const auto minus = [&](size_t n) {
        return ToHex(std::vector<uint8_t>(goodBytes.begin(), goodBytes.end() - long(n)));
    };
    auto badChecksum = goodBytes;
    badChecksum.back() = static_cast<uint8_t>(badChecksum.back() + 1);
    const Case cases[] = {
        {"P1 normal silence", ""},
        {"P1 normal nak", "10 15"},
        {"P1 normal checksum", ToHex(badChecksum)},
        {"P1 normal truncate", minus(3)},
        {"P1 normal truncate 6", "10 11 10 01 11 30 33 30"},
        {"P1 normal noise 3", "55 55 55 " + good},
        {"P1 normal stale", Reply(0x11, "030A", "86 04 00 00 12 34")},
        {"P1 normal noreverse", Reply(0x11, "0A03", "86 05 00 00 12 34")},
        {"P1 normal error 03", Reply(0x11, "030A", "A2 05 03")},
        {"P1 normal error", Reply(0x11, "030A", "A2 05 11")},
        {"P1 normal dead", Reply(0x11, "030A", "A2 05 11")},
        {"P1 normal delay 250", good},
        {"P1 backup silence", good},
        {"P2 any silence", good},
    };
    for (const Case &c : cases) {
        network.faults().Clear();
        AddFault(c.fault);
        EXPECT_EQ(Request(0x11, "0A03", body), c.expected) << c.fault;
    }
    ASSERT_EQ(last.size(), 2u);
    AddFault("P1 normal delay 250");
    Request(0x11, "0A03", body);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].delayMs, 0u) << "acknowledged at once";
    EXPECT_EQ(last[1].delayMs, 250u);
    EXPECT_EQ(Stat("injected.silence"), 1u);
    EXPECT_EQ(Stat("injected.delay"), 2u);
    EXPECT_EQ(Stat("injected.truncate"), 2u);
}

TEST_F(NetworkTest, RefusingFaultsKeepTheRegisters) {
    for (const char *fault : {"P1 any silence", "P1 any nak", "P1 any error 03", "P1 any dead"}) {
        network.faults().Clear();
        AddFault(fault);
        Request(0x11, "0A03", "02 05 00 C6 00 07 FF FF");
        EXPECT_EQ(network.FindPlc("P1").Get(100), 0x1234) << fault;
    }
    network.faults().Clear();
    AddFault("P1 any checksum");
    Request(0x11, "0A03", "02 05 00 C6 00 07 FF FF");
    EXPECT_EQ(network.FindPlc("P1").Get(100), 7) << "a damaged reply still follows the write";
}

TEST_F(NetworkTest, RepeatedToggleWithoutEnquiryIsCounted) {
    Exchange(Hex("10 05"));
    Request(0x11, "", "00 01 00 00 00 00");
    Request(0x12, "", "00 02 00 00 00 00");
    EXPECT_EQ(Stat("toggle_repeats"), 0u);
    Request(0x12, "", "00 02 00 00 00 00");
    EXPECT_EQ(Stat("toggle_repeats"), 1u);
    Exchange(Hex("10 05"));
    Request(0x11, "", "00 03 00 00 00 00");
    EXPECT_EQ(Stat("toggle_repeats"), 1u);
}

} // namespace
} // namespace vpisd::sim
