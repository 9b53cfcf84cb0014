// Register command bodies, the check of reply bodies against the command sent, and the
// placement of read values in the host's buffer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/context.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "transactions/body.h"

namespace vpisd::test {
namespace {

constexpr uint16_t kUntouchedWord = 0xBEEF;
constexpr int kBodyBufferBytes = 700; // what the transactions hand over
constexpr int kBitType = 6;

class BodyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearLog();
        context_->sequence[kSlot] = 0x05;
        context_->sequence[kSlot - 1] = 0x77; // neighbours that must not be read
        context_->sequence[kSlot + 1] = 0x66;
        values_.fill(kUntouchedWord);
        tag_.slot = kSlot;
        tag_.kind = VPI_KIND_REGISTER;
        tag_.address = 100;
        tag_.bit = 255;
        tag_.type = 0;
        tag_.count = 1;
        tag_.values = values_.data();
        request_.context = context_.get();
        request_.command = VPI_READ;
        request_.data = &tag_;
    }

    std::string Build(uint8_t code) {
        std::vector<uint8_t> body(kBodyBufferBytes, 0xCC);
        const int length = BuildCommand(&request_, body.data(), code);
        EXPECT_GE(length, 0);
        for (size_t i = static_cast<size_t>(length); i < body.size(); ++i) {
            EXPECT_EQ(body[i], 0xCC) << "byte " << i << " written past the body";
        }
        body.resize(static_cast<size_t>(length));
        return ToHex(body);
    }

    int Check(const std::string &reply, uint8_t code, uint8_t *errorCode = nullptr) {
        std::vector<uint8_t> body = Hex(reply);
        uint8_t ignored = 0x99;
        return CheckReplyBody(&request_, body.data(), static_cast<int>(body.size()), code,
                              errorCode != nullptr ? errorCode : &ignored);
    }

    void Store(const std::string &reply) {
        std::vector<uint8_t> body = Hex(reply);
        StoreReadValues(body.data(), static_cast<int>(body.size()), &tag_);
    }

    static constexpr int kSlot = 3;
    std::unique_ptr<VpiContext> context_ = std::make_unique<VpiContext>();
    std::array<uint16_t, 300> values_{};
    TagAccess tag_{};
    VpiRequest request_{};
};

TEST_F(BodyTest, SingleRegisterReadUsesElementOne) {
    EXPECT_EQ(Build(READ_COMMAND), "00 05 00 C6 00 00");
    EXPECT_EQ(Check("86 05 AB CD 12 34", READ_COMMAND), 1);
    Store("86 05 AB CD 12 34");
    EXPECT_EQ(values_[1], 0x1234);
    EXPECT_EQ(values_[0], kUntouchedWord);
    EXPECT_EQ(values_[2], kUntouchedWord);
}

TEST_F(BodyTest, RegisterBlockReadFillsElementsFromZero) {
    tag_.count = 10;
    EXPECT_EQ(Build(READ_COMMAND), "00 05 00 C6 00 09");
    std::string reply = "86 05 00 00";
    for (int i = 0; i < 10; ++i) {
        reply += " " + ToHex({static_cast<uint8_t>(0xA0 + i), static_cast<uint8_t>(i)});
    }
    EXPECT_EQ(Check(reply, READ_COMMAND), 1);
    Store(reply);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(values_[static_cast<size_t>(i)], (0xA0 + i) << 8 | i) << "element " << i;
    }
    EXPECT_EQ(values_[10], kUntouchedWord);

    tag_.count = 2; // elements 0 and 1, not 1 and 2
    values_.fill(kUntouchedWord);
    EXPECT_EQ(Build(READ_COMMAND), "00 05 00 C6 00 01");
    Store("86 05 00 00 11 22 33 44");
    EXPECT_EQ(values_[0], 0x1122);
    EXPECT_EQ(values_[1], 0x3344);
    EXPECT_EQ(values_[2], kUntouchedWord);
}

TEST_F(BodyTest, OneLongValueReadsTwoWordsIntoElementsZeroAndOne) {
    tag_.kind = VPI_KIND_REGISTER_PAIR;
    tag_.address = 51; // registers 101 and 102
    tag_.type = 3;
    EXPECT_EQ(Build(READ_COMMAND), "00 05 00 C8 00 01");
    EXPECT_EQ(Check("86 05 00 00 AA BB CC DD", READ_COMMAND), 1);
    EXPECT_EQ(Check("86 05 00 00 AA BB", READ_COMMAND), 0);
    Store("86 05 00 00 AA BB CC DD");
    EXPECT_EQ(values_[0], 0xAABB);
    EXPECT_EQ(values_[1], 0xCCDD);
    EXPECT_EQ(values_[2], kUntouchedWord);
}

TEST_F(BodyTest, RegisterOffsetIsTwiceTheDistanceFromRegisterOne) {
    struct {
        int32_t kind;
        int32_t address;
        int32_t firstRegister;
    } const cases[] = {{VPI_KIND_REGISTER, 1, 1},      {VPI_KIND_REGISTER, 9999, 9999},
                       {VPI_KIND_REGISTER, 256, 256},  {VPI_KIND_REGISTER_PAIR, 1, 1},
                       {VPI_KIND_REGISTER_PAIR, 2, 3}, {VPI_KIND_REGISTER_PAIR, 5000, 9999}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        tag_.kind = c.kind;
        tag_.address = c.address;
        const std::vector<uint8_t> body = Hex(Build(READ_COMMAND));
        ASSERT_EQ(body.size(), 6u);
        EXPECT_EQ(body[2] << 8 | body[3], 2 * (c.firstRegister - 1));
    }
}

TEST_F(BodyTest, RegisterWritesEndWithTheMarker) {
    values_[1] = 0x1234;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 12 34 FF FF");

    tag_.count = 3;
    values_[0] = 1;
    values_[1] = 2;
    values_[2] = 3;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 00 01 00 02 00 03 FF FF");

    tag_.kind = VPI_KIND_REGISTER_PAIR;
    tag_.address = 51;
    tag_.count = 1;
    values_[0] = 0xAABB;
    values_[1] = 0xCCDD;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C8 AA BB CC DD FF FF");
}

TEST_F(BodyTest, LargestBlockWriteIs262Bytes) {
    tag_.count = 128;
    for (size_t i = 0; i < 128; ++i) {
        values_[i] = static_cast<uint16_t>(0x0100 * i + 0x80 + i);
    }
    const std::vector<uint8_t> body = Hex(Build(WRITE_COMMAND));
    ASSERT_EQ(body.size(), 262u);
    for (size_t i = 0; i < 128; ++i) {
        EXPECT_EQ(body[4 + 2 * i] << 8 | body[5 + 2 * i], values_[i]) << "word " << i;
    }
    EXPECT_EQ(body[260], 0xFF);
    EXPECT_EQ(body[261], 0xFF);
}

TEST_F(BodyTest, BitWriteShiftsElementOneAndAddsTheMask) {
    tag_.type = kBitType;
    tag_.bit = 2;
    values_[1] = 1;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 00 04 00 04");
    values_[1] = 0;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 00 00 00 04");

    // Neither the count nor an end marker: the value goes out unreduced.
    tag_.count = 40;
    tag_.bit = 0;
    values_[1] = 3;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 00 03 00 01");
    tag_.bit = 15;
    EXPECT_EQ(Build(WRITE_COMMAND), "02 05 00 C6 80 00 80 00");
}

TEST_F(BodyTest, BitMaskHasOnlyItsOwnBitHighByteFirst) {
    tag_.type = kBitType;
    values_[1] = 1;
    for (int bit = 0; bit < 16; ++bit) {
        SCOPED_TRACE(bit);
        tag_.bit = bit;
        const std::vector<uint8_t> body = Hex(Build(WRITE_COMMAND));
        ASSERT_EQ(body.size(), 8u);
        const unsigned word = 1u << bit;
        EXPECT_EQ(body[4], word >> 8);
        EXPECT_EQ(body[5], word & 0xFF);
        EXPECT_EQ(body[6], word >> 8);
        EXPECT_EQ(body[7], word & 0xFF);
    }
}

TEST_F(BodyTest, BitReadExtractsOnlyForASingleWord) {
    tag_.type = kBitType;
    tag_.bit = 2;
    EXPECT_EQ(Build(READ_COMMAND), "00 05 00 C6 00 00");
    Store("86 05 00 00 12 34");
    EXPECT_EQ(values_[1], 1);
    EXPECT_EQ(values_[0], kUntouchedWord) << "a bit value never goes to element 0";
    tag_.bit = 3;
    Store("86 05 00 00 12 34");
    EXPECT_EQ(values_[1], 0);
    tag_.bit = 15;
    Store("86 05 00 00 80 00");
    EXPECT_EQ(values_[1], 1);

    tag_.count = 2;
    Store("86 05 00 00 12 34 56 78");
    EXPECT_EQ(values_[0], 0x1234);
    EXPECT_EQ(values_[1], 0x5678);
}

TEST_F(BodyTest, ErrorReplyIsRecognisedFirstWithItsCodeInByteTwo) {
    for (uint8_t code : {READ_COMMAND, WRITE_COMMAND}) {
        for (const std::string reply : {"A2 05 11", "A2 22 11", "A2 00 11 00 00 00 00 00 00 00"}) {
            SCOPED_TRACE(reply);
            ClearLog();
            uint8_t errorCode = 0x99;
            EXPECT_EQ(Check(reply, code, &errorCode), 0);
            EXPECT_EQ(errorCode, 0x11);
            EXPECT_EQ(CountLog(VPI_LOG_DEBUG, "VPISD:Error Reply received.Errcode: 11 Hex"), 1)
                << LogDump();
            EXPECT_EQ(LogEntries().size(), 1u);
        }
    }
    uint8_t errorCode = 0;
    EXPECT_EQ(Check("A2 05 4C", READ_COMMAND, &errorCode), 0);
    EXPECT_EQ(errorCode, 0x4C);
    EXPECT_EQ(CountLog(VPI_LOG_DEBUG, "VPISD:Error Reply received.Errcode: 4c Hex"), 1)
        << LogDump();
}

TEST_F(BodyTest, ErrorReplyTooShortForItsCodeReportsNoCode) {
    // The byte after a two-byte reply is left over from elsewhere and must not be reported.
    const uint8_t buffer[] = {0xA2, 0x05, 0x11};
    uint8_t errorCode = 0x99;
    EXPECT_EQ(CheckReplyBody(&request_, buffer, 2, READ_COMMAND, &errorCode), 0);
    EXPECT_EQ(errorCode, 0);
    EXPECT_EQ(CountLog(VPI_LOG_DEBUG, "VPISD:Error Reply received.Errcode: 0 Hex"), 1) << LogDump();
    errorCode = 0x99;
    EXPECT_EQ(CheckReplyBody(&request_, buffer, 0, READ_COMMAND, &errorCode), 0);
    EXPECT_EQ(errorCode, 0);
}

TEST_F(BodyTest, ReadReplyNeedsExactLengthCodeAndSequence) {
    tag_.count = 2;
    const struct {
        const char *reply;
        int accepted;
    } cases[] = {
        {"86 05 00 00 11 22 33 44", 1},
        {"86 05 FF FF 11 22 33 44", 1},
        {"86 05 00 00 11 22 33", 0},
        {"86 05 00 00 11 22 33 44 55", 0},
        {"86 04 00 00 11 22 33 44", 0},
        {"86 06 00 00 11 22 33 44", 0},
        {"80 05 00 00 11 22 33 44", 0},
        {"00 05 00 00 11 22 33 44", 0},
        {"86 77 00 00 11 22 33 44", 0},
        {"86", 0},
        {"86 05", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        uint8_t errorCode = 0x99;
        EXPECT_EQ(Check(c.reply, READ_COMMAND, &errorCode), c.accepted);
        EXPECT_EQ(errorCode, 0);
    }
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(BodyTest, WriteReplyIsExactlyCodeAndSequence) {
    tag_.count = 3;
    EXPECT_EQ(Check("80 05", WRITE_COMMAND), 1);
    EXPECT_EQ(Check("80 05 00", WRITE_COMMAND), 0);
    EXPECT_EQ(Check("80", WRITE_COMMAND), 0);
    EXPECT_EQ(Check("80 04", WRITE_COMMAND), 0) << "a stale reply";
    EXPECT_EQ(Check("86 05", WRITE_COMMAND), 0);
    EXPECT_EQ(Check("80 05", 0x07), 0) << "no other command has a reply";
    context_->sequence[kSlot] = 0x06;
    EXPECT_EQ(Check("80 05", WRITE_COMMAND), 0) << "the slot moved on";
    EXPECT_EQ(Check("80 06", WRITE_COMMAND), 1);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(BodyTest, StoringNeverReadsPastTheReply) {
    tag_.count = 10;
    Store("86 05 00 00 11 22 33 44"); // only two words arrived
    EXPECT_EQ(values_[0], 0x1122);
    EXPECT_EQ(values_[1], 0x3344);
    EXPECT_EQ(values_[2], kUntouchedWord);
    tag_.count = 1;
    Store("86 05 00 00 11"); // not even one whole word
    EXPECT_EQ(values_[1], 0x3344);
}

TEST_F(BodyTest, SlotOrBitOutsideTheTablesBuildsNothing) {
    std::vector<uint8_t> body(kBodyBufferBytes, 0xCC);
    for (int32_t slot : {100, -1, 0x7FFF}) {
        tag_.slot = slot;
        EXPECT_EQ(BuildCommand(&request_, body.data(), READ_COMMAND), 0) << slot;
        EXPECT_EQ(Check("86 05 00 00 12 34", READ_COMMAND), 0) << slot;
    }
    tag_.slot = kSlot;
    tag_.type = kBitType;
    for (int32_t bit : {16, -1, 255}) {
        tag_.bit = bit;
        EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 0) << bit;
    }
    for (uint8_t byte : body) {
        ASSERT_EQ(byte, 0xCC);
    }
}

TEST_F(BodyTest, WritesBeyondTheBlockLimitBuildNothing) {
    std::vector<uint8_t> body(kBodyBufferBytes, 0xCC);
    tag_.count = 129;
    EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 0);
    tag_.kind = VPI_KIND_REGISTER_PAIR;
    tag_.count = 65;
    EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 0);
    // Twice these counts wraps in 32 bits: to a negative word count, and to 14 words of a
    // buffer the host sized for none.
    for (const int32_t count : {0x40000000, static_cast<int32_t>(0x80000007), 0, -1}) {
        tag_.count = count;
        EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 0) << count;
    }
    tag_.kind = VPI_KIND_REGISTER;
    tag_.count = 0;
    EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 0);
    for (uint8_t byte : body) {
        ASSERT_EQ(byte, 0xCC);
    }
    tag_.kind = VPI_KIND_REGISTER_PAIR;
    tag_.count = 64;
    EXPECT_EQ(BuildCommand(&request_, body.data(), WRITE_COMMAND), 262);
}

} // namespace
} // namespace vpisd::test
