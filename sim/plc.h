// One PLC's register memory and the register commands it executes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "config.h"

namespace vpisd::sim {

inline constexpr uint8_t kReadCommand = 0x00;
inline constexpr uint8_t kWriteCommand = 0x02;
inline constexpr uint8_t kReadReply = 0x86;
inline constexpr uint8_t kWriteReply = 0x80;
inline constexpr uint8_t kErrorReply = 0xA2;

// SY/MAX error codes, carried in the third byte of an error reply.
enum class ErrorCode : uint8_t {
    InvalidCommand = 0x01,
    InvalidAddress = 0x03,
    InvalidLength = 0x10,
    RemoteNotActive = 0x11,
    InvalidRoute = 0x1D,
};

inline constexpr size_t kMaxRegisters = 9999;

enum class CommandKind { None, Read, Write, MaskedWrite, Refused };

std::vector<uint8_t> ErrorReply(uint8_t sequence, uint8_t code);

class Plc {
  public:
    Plc(std::string name, size_t registers);

    const std::string &name() const { return name_; }
    size_t registerCount() const { return registers_.size(); }
    // Registers are numbered from 1; both throw SimError outside 1..registerCount().
    uint16_t Get(size_t reg) const;
    void Set(size_t reg, uint16_t value);

    // Makes a register change by itself each time it is read; sets its first value.
    void AddMotion(const Motion &motion, uint32_t seed);

    // Runs one command body and returns the reply body; `kind` tells what it was.
    std::vector<uint8_t> Execute(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);

  private:
    std::vector<uint8_t> Read(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);
    std::vector<uint8_t> Write(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);
    // Index of the first register of an access of `words` registers at a byte offset, or -1.
    long FirstIndex(unsigned offset, size_t words) const;
    // Moves the registers with a motion among the `words` registers from index `first`.
    void Advance(size_t first, size_t words);

    std::string name_;
    std::vector<uint16_t> registers_;
    std::vector<Motion> motions_;
    std::minstd_rand random_;
};

} // namespace vpisd::sim
