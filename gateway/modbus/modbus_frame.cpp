#include "gateway/modbus/modbus_frame.h"

#include <cstring>

#include "host/value_codec.h"

namespace vpisd::gateway {
namespace {

constexpr size_t kLengthEnd = 6; // the MBAP length is known after six bytes
constexpr uint8_t kExceptionBit = 0x80;
constexpr uint8_t kServerFailure = 0x04;

void PutWord(Answer &out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value >> 8);
    out[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

// The MBAP header of an answer whose PDU is `pduLength` bytes; returns the ADU length.
size_t PutHeader(const RequestHead &head, size_t pduLength, Answer &out) {
    PutWord(out, 0, head.transaction);
    PutWord(out, 2, 0);
    PutWord(out, 4, static_cast<uint16_t>(pduLength + 1));
    out[6] = head.unit;
    return kMbapLength + pduLength;
}

} // namespace

uint16_t ReadWord(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

FrameResult FrameReader::Next() {
    if (frameLength_ > 0) {
        std::memmove(bytes_.data(), bytes_.data() + frameLength_, filled_ - frameLength_);
        filled_ -= frameLength_;
        frameLength_ = 0;
    }
    if (filled_ < kLengthEnd)
        return FrameResult::NeedMore;
    const std::span<const uint8_t> bytes(bytes_);
    const uint16_t length = ReadWord(bytes, 4);
    if (ReadWord(bytes, 2) != 0 || length < kSmallestLength || length > kLargestLength)
        return FrameResult::Malformed;
    if (filled_ < kLengthEnd + length)
        return FrameResult::NeedMore;
    frameLength_ = kLengthEnd + length;
    return FrameResult::Frame;
}

size_t BuildException(const RequestHead &head, uint8_t exception, Answer &out) {
    out[7] = static_cast<uint8_t>(head.function | kExceptionBit);
    out[8] = exception;
    return PutHeader(head, 2, out);
}

size_t BuildAnswer(const RequestHead &head, std::span<const uint16_t> values, Answer &out) {
    constexpr size_t kData = kMbapLength + 2; // after the function code and the byte count
    const unsigned quantity = head.second;
    out[7] = head.function;
    switch (head.function) {
    case 0x01:
    case 0x02: {
        const size_t bytes = (quantity + 7u) / 8u;
        if (kData + bytes > out.size())
            break;
        std::memset(out.data() + kData, 0, bytes);
        const unsigned base = head.address / 16u;
        for (unsigned i = 0; i < quantity; ++i) {
            const unsigned coil = head.address + i;
            const size_t word = coil / 16u - base;
            const host::ValueFormat bit{host::ValueType::Bit, host::WordOrder::HighFirst,
                                        static_cast<uint8_t>(coil % 16u)};
            if (word < values.size() && host::DecodeValue(bit, values.subspan(word, 1)) != 0)
                out[kData + i / 8u] = static_cast<uint8_t>(out[kData + i / 8u] | (1u << (i % 8u)));
        }
        out[8] = static_cast<uint8_t>(bytes);
        return PutHeader(head, 2 + bytes, out);
    }
    case 0x03:
    case 0x04: {
        const size_t bytes = 2u * quantity;
        if (kData + bytes > out.size())
            break;
        for (unsigned i = 0; i < quantity; ++i)
            PutWord(out, kData + 2u * i, i < values.size() ? values[i] : 0);
        out[8] = static_cast<uint8_t>(bytes);
        return PutHeader(head, 2 + bytes, out);
    }
    case 0x05:
    case 0x06:
    case 0x0F:
    case 0x10: // the address and the value (05, 06) or the quantity (15, 16) echoed
        PutWord(out, 8, head.address);
        PutWord(out, 10, head.second);
        return PutHeader(head, 5, out);
    default:
        break;
    }
    return BuildException(head, kServerFailure, out);
}

} // namespace vpisd::gateway
