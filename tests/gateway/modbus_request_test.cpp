// A Modbus request decoded from its frame into the job for its line, or the exception that
// answers it before any traffic: in-process, one row a request.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "gateway/modbus/modbus_mapping.h"

namespace vpisd::gateway {
namespace {

constexpr uint8_t kKnownUnit = 1;
constexpr uint8_t kReadOnlyUnit = 2;

// An ADU for `unit` with transaction 0x1234 around the PDU bytes.
std::vector<uint8_t> Adu(uint8_t unit, std::initializer_list<uint8_t> pdu) {
    const auto length = static_cast<uint16_t>(pdu.size() + 1);
    std::vector<uint8_t> adu(kMbapLength + pdu.size());
    adu[0] = 0x12;
    adu[1] = 0x34;
    adu[4] = static_cast<uint8_t>(length >> 8);
    adu[5] = static_cast<uint8_t>(length & 0xFF);
    adu[6] = unit;
    size_t at = kMbapLength;
    for (const uint8_t byte : pdu)
        adu[at++] = byte;
    return adu;
}

struct Case {
    const char *what;
    std::vector<uint8_t> adu;
    bool gatewayReadOnly;
    uint8_t exception;
    LineOp op;
    uint16_t first;
    uint16_t count;
    std::vector<uint16_t> values;
    std::vector<BitWrite> bits;
};

TEST(ModbusRequest, DecodedOnceIntoTheLineJobOrItsException) {
    const std::vector<Case> cases = {
        {"read holding",
         Adu(1, {0x03, 0x00, 0x00, 0x00, 0x0A}),
         false,
         0,
         LineOp::ReadRegisters,
         1,
         10,
         {},
         {}},
        {"read input",
         Adu(1, {0x04, 0x00, 0x63, 0x00, 0x01}),
         false,
         0,
         LineOp::ReadRegisters,
         100,
         1,
         {},
         {}},
        {"coils 17..36 read registers 2..3",
         Adu(1, {0x01, 0x00, 0x11, 0x00, 0x14}),
         false,
         0,
         LineOp::ReadRegisters,
         2,
         2,
         {},
         {}},
        {"discrete inputs",
         Adu(1, {0x02, 0x00, 0x00, 0x00, 0x10}),
         false,
         0,
         LineOp::ReadRegisters,
         1,
         1,
         {},
         {}},
        {"single coil on",
         Adu(1, {0x05, 0x00, 0x21, 0xFF, 0x00}),
         false,
         0,
         LineOp::WriteBits,
         0,
         0,
         {},
         {{3, 1, true}}},
        {"single coil off",
         Adu(1, {0x05, 0x00, 0x00, 0x00, 0x00}),
         false,
         0,
         LineOp::WriteBits,
         0,
         0,
         {},
         {{1, 0, false}}},
        {"single coil neither on nor off",
         Adu(1, {0x05, 0x00, 0x00, 0x12, 0x34}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"single register",
         Adu(1, {0x06, 0x00, 0x63, 0x00, 0x07}),
         false,
         0,
         LineOp::WriteRegisters,
         100,
         0,
         {7},
         {}},
        {"coils 8..31: a masked half, then a whole register",
         Adu(1, {0x0F, 0x00, 0x08, 0x00, 0x18, 0x03, 0x01, 0x00, 0x80}),
         false,
         0,
         LineOp::WriteBits,
         2,
         0,
         {0x8000},
         {{1, 8, true},
          {1, 9, false},
          {1, 10, false},
          {1, 11, false},
          {1, 12, false},
          {1, 13, false},
          {1, 14, false},
          {1, 15, false}}},
        {"multiple registers",
         Adu(1, {0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0xAB, 0xCD}),
         false,
         0,
         LineOp::WriteRegisters,
         1,
         0,
         {0x0001, 0xABCD},
         {}},
        {"byte count not the quantity's",
         Adu(1, {0x10, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x01, 0xAB, 0xCD}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"data longer than the byte count",
         Adu(1, {0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01, 0xAB}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"quantity 0",
         Adu(1, {0x03, 0x00, 0x00, 0x00, 0x00}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"quantity 126",
         Adu(1, {0x03, 0x00, 0x00, 0x00, 0x7E}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"a read with a byte too many",
         Adu(1, {0x03, 0x00, 0x00, 0x00, 0x01, 0x00}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"a read cut short",
         Adu(1, {0x03, 0x00, 0x00, 0x00}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"past register 9999",
         Adu(1, {0x03, 0x27, 0x0E, 0x00, 0x02}),
         false,
         0x02,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"register 9999",
         Adu(1, {0x03, 0x27, 0x0E, 0x00, 0x01}),
         false,
         0,
         LineOp::ReadRegisters,
         9999,
         1,
         {},
         {}},
        {"unknown function",
         Adu(1, {0x2B, 0x0E, 0x01, 0x00}),
         false,
         0x01,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"exception bit, unknown unit",
         Adu(9, {0x83, 0x00, 0x00, 0x00, 0x01}),
         false,
         0x01,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"unknown unit before a malformed PDU",
         Adu(9, {0x03, 0x00, 0x00, 0x00, 0x00}),
         false,
         0x0A,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"malformed before read-only",
         Adu(2, {0x06, 0x00, 0x00, 0x00}),
         false,
         0x03,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"write to a read-only unit",
         Adu(2, {0x06, 0x00, 0x00, 0x00, 0x01}),
         false,
         0x01,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
        {"read from a read-only unit",
         Adu(2, {0x03, 0x00, 0x00, 0x00, 0x01}),
         false,
         0,
         LineOp::ReadRegisters,
         1,
         1,
         {},
         {}},
        {"write to a read-only gateway",
         Adu(1, {0x05, 0x00, 0x00, 0xFF, 0x00}),
         true,
         0x01,
         LineOp::ReadRoute,
         0,
         0,
         {},
         {}},
    };
    UnitConfig known;
    known.id = kKnownUnit;
    known.plc = "P1";
    UnitConfig readOnly = known;
    readOnly.id = kReadOnlyUnit;
    readOnly.readOnly = true;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ModbusRequest request = DecodeRequest(c.adu);
        EXPECT_EQ(request.head.transaction, 0x1234);
        EXPECT_EQ(request.head.unit, c.adu[6]);
        EXPECT_EQ(request.head.function, c.adu[7]);
        const UnitConfig *unit = request.head.unit == kKnownUnit      ? &known
                                 : request.head.unit == kReadOnlyUnit ? &readOnly
                                                                      : nullptr;
        LineRequest job;
        job.op = LineOp::ReadRoute; // what a refused request leaves as it was
        EXPECT_EQ(PlanRequest(request, unit, c.gatewayReadOnly, job), c.exception);
        EXPECT_EQ(job.op, c.op);
        if (c.exception != 0)
            continue;
        EXPECT_EQ(job.plc, "P1");
        if (c.op != LineOp::WriteBits || !c.values.empty()) {
            EXPECT_EQ(job.first, c.first);
        }
        if (c.op == LineOp::ReadRegisters) {
            EXPECT_EQ(job.count, c.count);
        }
        EXPECT_EQ(job.values, c.values);
        ASSERT_EQ(job.bits.size(), c.bits.size());
        for (size_t i = 0; i < c.bits.size(); ++i) {
            EXPECT_EQ(job.bits[i].reg, c.bits[i].reg) << i;
            EXPECT_EQ(job.bits[i].bit, c.bits[i].bit) << i;
            EXPECT_EQ(job.bits[i].on, c.bits[i].on) << i;
        }
    }
}

TEST(ModbusRequest, AnswersRepeatWhatTheRequestGave) {
    // 05 and 06 echo the value as sent, 15 and 16 the quantity.
    const std::vector<uint8_t> coil = Adu(1, {0x05, 0x00, 0x21, 0xFF, 0x00});
    Answer answer{};
    size_t length = BuildAnswer(DecodeRequest(coil).head, {}, answer);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + length), coil);
    const std::vector<uint8_t> registers =
        Adu(1, {0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0xAB, 0xCD});
    length = BuildAnswer(DecodeRequest(registers).head, {}, answer);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + length),
              Adu(1, {0x10, 0x00, 0x00, 0x00, 0x02}));
    // Coils 17..20 of registers 2 (bits 1..4) read from the words the line gave.
    const std::vector<uint16_t> words = {0x001A};
    length = BuildAnswer(DecodeRequest(Adu(1, {0x01, 0x00, 0x11, 0x00, 0x04})).head, words, answer);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + length),
              Adu(1, {0x01, 0x01, 0x0D}));
    length = BuildException(DecodeRequest(Adu(1, {0x2B, 0x0E})).head, 0x01, answer);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + length), Adu(1, {0xAB, 0x01}));
}

} // namespace
} // namespace vpisd::gateway
