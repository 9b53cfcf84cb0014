// One PLC's register memory and the register commands it executes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

    // Runs one command body and returns the reply body; `kind` tells what it was.
    std::vector<uint8_t> Execute(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);

  private:
    std::vector<uint8_t> Read(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);
    std::vector<uint8_t> Write(std::span<const uint8_t> body, size_t maxWords, CommandKind &kind);
    // Index of the first register of an access of `words` registers at a byte offset, or -1.
    long FirstIndex(unsigned offset, size_t words) const;

    std::string name_;
    std::vector<uint16_t> registers_;
};

} // namespace vpisd::sim
