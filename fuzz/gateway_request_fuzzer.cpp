// The gateway's Modbus request path: bytes from a client, cut into the pieces a socket might
// give, through the connection's frame reader and the decoding into the job for a line.
// Input: one byte choosing the piece sizes, one byte of flags, then the stream.
// Properties: every frame is its MBAP header and the length it states; every request is either
// answered at once with an exception that carries function | 0x80, or becomes a line job that
// stays inside registers 1..9999 and Modbus's limits, whose coil writes cover exactly the coils
// asked for in address order (whole registers only in the block); every answer fits 260 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "gateway/modbus/modbus_frame.h"
#include "gateway/modbus/modbus_mapping.h"

using namespace vpisd::gateway;

namespace {

constexpr unsigned kLastRegister = 9999;

FUZZ_UNTRACED void CheckJob(const RequestHead &head, const LineRequest &job) {
    FUZZ_CHECK(job.plc == "P1");
    switch (job.op) {
    case LineOp::ReadRegisters:
        FUZZ_CHECK(head.function >= 0x01 && head.function <= 0x04);
        // 2000 coils not on a register bound span 126 registers; the driver's block takes 128.
        FUZZ_CHECK(job.count >= 1 && job.count <= (head.function <= 0x02 ? 126 : 125));
        FUZZ_CHECK(job.first >= 1 && job.first + job.count - 1u <= kLastRegister);
        break;
    case LineOp::WriteRegisters:
        FUZZ_CHECK(head.function == 0x06 || head.function == 0x10);
        FUZZ_CHECK(!job.values.empty() && job.values.size() <= 123);
        FUZZ_CHECK(job.first >= 1 && job.first + job.values.size() - 1u <= kLastRegister);
        break;
    case LineOp::WriteBits: {
        FUZZ_CHECK(head.function == 0x05 || head.function == 0x0F);
        const unsigned quantity = head.function == 0x05 ? 1u : head.second;
        FUZZ_CHECK(job.bits.size() + 16u * job.values.size() == quantity);
        FUZZ_CHECK(job.values.size() <= 123);
        if (!job.values.empty())
            FUZZ_CHECK(job.first >= 1 && job.first + job.values.size() - 1u <= kLastRegister);
        const unsigned blockEnd = job.first + static_cast<unsigned>(job.values.size());
        unsigned previous = 0; // coil + 1 of the bit before
        for (const BitWrite &bit : job.bits) {
            FUZZ_CHECK(bit.reg >= 1 && bit.reg <= kLastRegister && bit.bit < 16);
            FUZZ_CHECK(job.values.empty() || bit.reg < job.first || bit.reg >= blockEnd);
            const unsigned coil = (bit.reg - 1u) * 16u + bit.bit;
            FUZZ_CHECK(coil + 1 > previous); // address order, each coil once
            FUZZ_CHECK(coil >= head.address && coil < head.address + quantity);
            previous = coil + 1;
        }
        break;
    }
    case LineOp::ReadRoute:
        FUZZ_CHECK(false); // never from Modbus
    }
}

FUZZ_UNTRACED void CheckAnswer(const RequestHead &head, const Answer &answer, size_t length) {
    FUZZ_CHECK(length >= 9 && length <= kLargestAdu);
    FUZZ_CHECK(answer[4] == 0 && answer[5] + 6u == length);
    FUZZ_CHECK(answer[6] == head.unit);
    FUZZ_CHECK((answer[7] & 0x7F) == (head.function & 0x7F));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const unsigned pieces = data[0];
    const uint8_t flags = data[1];
    UnitConfig units[2];
    units[0].id = 1;
    units[0].plc = "P1";
    units[1] = units[0];
    units[1].id = 2;
    units[1].readOnly = true;
    const bool gatewayReadOnly = (flags & 1) != 0;

    FrameReader reader;
    std::span<const uint8_t> stream(data + 2, size - 2);
    for (unsigned turn = 0; !stream.empty(); ++turn) {
        // Piece sizes from 1 byte to what the buffer takes, varied by the first byte.
        const std::span<uint8_t> space = reader.Space();
        FUZZ_CHECK(!space.empty());
        size_t piece = 1 + ((pieces * (turn + 1)) % 64);
        piece = std::min({piece, space.size(), stream.size()});
        std::copy_n(stream.begin(), piece, space.begin());
        reader.Commit(piece);
        stream = stream.subspan(piece);
        FrameResult result;
        while ((result = reader.Next()) == FrameResult::Frame) {
            const std::span<const uint8_t> adu = reader.frame();
            FUZZ_CHECK(adu.size() >= kMbapLength + 1 && adu.size() <= kLargestAdu);
            FUZZ_CHECK(adu[2] == 0 && adu[3] == 0 && adu[4] * 256u + adu[5] + 6u == adu.size());
            const ModbusRequest request = DecodeRequest(adu);
            const RequestHead &head = request.head;
            const UnitConfig *unit = head.unit == 1   ? &units[0]
                                     : head.unit == 2 ? &units[1]
                                                      : nullptr;
            LineRequest job;
            const uint8_t exception = PlanRequest(request, unit, gatewayReadOnly, job);
            Answer answer;
            if (exception != 0) {
                FUZZ_CHECK(exception == 0x01 || exception == 0x02 || exception == 0x03 ||
                           exception == 0x0A);
                FUZZ_CHECK(head.function < 0x80 || exception == 0x01);
                const size_t length = BuildException(head, exception, answer);
                CheckAnswer(head, answer, length);
                FUZZ_CHECK(answer[7] == (head.function | 0x80) && answer[8] == exception);
                continue;
            }
            FUZZ_CHECK(unit != nullptr);
            CheckJob(head, job);
            FUZZ_CHECK(!(gatewayReadOnly || unit->readOnly) || job.op == LineOp::ReadRegisters);
            const std::vector<uint16_t> values(job.op == LineOp::ReadRegisters ? job.count : 0,
                                               0xA5C3);
            const size_t length = BuildAnswer(head, values, answer);
            CheckAnswer(head, answer, length);
            FUZZ_CHECK(answer[7] == head.function);
        }
        if (result == FrameResult::Malformed)
            return 0; // the connection is closed
    }
    return 0;
}
