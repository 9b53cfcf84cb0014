#include "plc.h"

#include "error.h"

namespace vpisd::sim {

namespace {

unsigned WordAt(std::span<const uint8_t> body, size_t at) {
    return static_cast<unsigned>(body[at] << 8 | body[at + 1]);
}

} // namespace

std::vector<uint8_t> ErrorReply(uint8_t sequence, uint8_t code) {
    return {kErrorReply, sequence, code};
}

Plc::Plc(std::string name, size_t registers) : name_(std::move(name)), registers_(registers, 0) {
    if (registers < 1 || registers > kMaxRegisters) {
        throw SimError("register count of " + name_ + " outside 1..9999");
    }
}

uint16_t Plc::Get(size_t reg) const {
    if (reg < 1 || reg > registers_.size()) {
        throw SimError("register " + std::to_string(reg) + " outside " + name_ + "'s 1.." +
                       std::to_string(registers_.size()));
    }
    return registers_[reg - 1];
}

void Plc::Set(size_t reg, uint16_t value) {
    if (reg < 1 || reg > registers_.size()) {
        throw SimError("register " + std::to_string(reg) + " outside " + name_ + "'s 1.." +
                       std::to_string(registers_.size()));
    }
    registers_[reg - 1] = value;
}

void Plc::AddMotion(const Motion &motion, uint32_t seed) {
    Get(motion.reg); // throws outside the registers
    motions_.push_back(motion);
    random_.seed(seed);
    if (motion.kind != MotionKind::Counter)
        Set(motion.reg, motion.from);
}

void Plc::Advance(size_t first, size_t words) {
    for (const Motion &motion : motions_) {
        if (motion.reg < first + 1 || motion.reg > first + words)
            continue;
        uint16_t &value = registers_[motion.reg - 1];
        switch (motion.kind) {
        case MotionKind::Ramp:
            value = value > motion.to - motion.step || value < motion.from
                        ? motion.from
                        : static_cast<uint16_t>(value + motion.step);
            break;
        case MotionKind::Counter:
            value = static_cast<uint16_t>(value + motion.step);
            break;
        case MotionKind::Random:
            value = std::uniform_int_distribution<uint16_t>(motion.from, motion.to)(random_);
            break;
        }
    }
}

long Plc::FirstIndex(unsigned offset, size_t words) const {
    // Offsets are 2 x (register - 1); an odd one points between registers.
    if (offset % 2 != 0)
        return -1;
    const size_t first = offset / 2;
    if (first + words > registers_.size())
        return -1;
    return static_cast<long>(first);
}

std::vector<uint8_t> Plc::Execute(std::span<const uint8_t> body, size_t maxWords,
                                  CommandKind &kind) {
    kind = CommandKind::Refused;
    const uint8_t sequence = body.size() >= 2 ? body[1] : 0;
    if (body.size() < 2)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidLength));
    if (body[0] == kReadCommand)
        return Read(body, maxWords, kind);
    if (body[0] == kWriteCommand)
        return Write(body, maxWords, kind);
    return ErrorReply(sequence, uint8_t(ErrorCode::InvalidCommand));
}

// 00 seq offHi offLo (n-1)Hi (n-1)Lo -> 86 seq 00 00 + n words.
std::vector<uint8_t> Plc::Read(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind) {
    const uint8_t sequence = body[1];
    if (body.size() != 6)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidLength));
    const size_t words = WordAt(body, 4) + 1u;
    if (words > maxWords)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidLength));
    const long first = FirstIndex(WordAt(body, 2), words);
    if (first < 0)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidAddress));

    std::vector<uint8_t> reply{kReadReply, sequence, 0x00, 0x00};
    for (size_t i = 0; i < words; ++i) {
        const uint16_t value = registers_[static_cast<size_t>(first) + i];
        reply.push_back(static_cast<uint8_t>(value >> 8));
        reply.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    Advance(static_cast<size_t>(first), words);
    kind = CommandKind::Read;
    return reply;
}

// 02 seq offHi offLo + words + FF FF, or the masked form 02 seq offHi offLo val val mask mask.
std::vector<uint8_t> Plc::Write(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind) {
    const uint8_t sequence = body[1];
    const bool marked = body.size() >= 6 && body[body.size() - 2] == 0xFF && body.back() == 0xFF;
    if (body.size() == 8 && !marked) {
        const long first = FirstIndex(WordAt(body, 2), 1);
        if (first < 0)
            return ErrorReply(sequence, uint8_t(ErrorCode::InvalidAddress));
        const unsigned value = WordAt(body, 4);
        const unsigned mask = WordAt(body, 6);
        uint16_t &reg = registers_[static_cast<size_t>(first)];
        reg = static_cast<uint16_t>((reg & ~mask) | (value & mask));
        kind = CommandKind::MaskedWrite;
        return {kWriteReply, sequence};
    }
    if (!marked || body.size() < 8 || body.size() % 2 != 0) {
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidLength));
    }
    const size_t words = (body.size() - 6) / 2;
    if (words > maxWords)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidLength));
    const long first = FirstIndex(WordAt(body, 2), words);
    if (first < 0)
        return ErrorReply(sequence, uint8_t(ErrorCode::InvalidAddress));
    for (size_t i = 0; i < words; ++i) {
        registers_[static_cast<size_t>(first) + i] = static_cast<uint16_t>(WordAt(body, 4 + 2 * i));
    }
    kind = CommandKind::Write;
    return {kWriteReply, sequence};
}

} // namespace vpisd::sim
