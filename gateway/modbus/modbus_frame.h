// Modbus TCP on the wire: one connection's receive buffer, which takes the 7-byte MBAP header
// and then the length it states, and the answers, built straight into a fixed buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vpisd::gateway {

constexpr size_t kMbapLength = 7;       // transaction, protocol, length, unit
constexpr size_t kLargestAdu = 260;     // MBAP and the largest PDU (253 bytes)
constexpr uint16_t kSmallestLength = 2; // the MBAP length counts the unit and the PDU
constexpr uint16_t kLargestLength = kLargestAdu - 6;

// What an answer repeats of its request.
struct RequestHead {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t second = 0; // the quantity, or the value of 05 and 06
};

enum class FrameResult : uint8_t {
    NeedMore,  // no complete frame yet
    Frame,     // frame() holds one whole ADU
    Malformed, // protocol not 0 or a length no frame has: the connection cannot be resynchronized
};

class FrameReader {
  public:
    // Where the next receive goes (never empty while no frame is waiting).
    std::span<uint8_t> Space() { return {bytes_.data() + filled_, bytes_.size() - filled_}; }
    void Commit(size_t received) { filled_ += received; }
    // Takes the frame that frame() showed off the buffer, then looks for the next one.
    FrameResult Next();
    // The ADU Next() found: MBAP header and PDU.
    std::span<const uint8_t> frame() const { return {bytes_.data(), frameLength_}; }
    // Bytes of a frame not complete yet.
    bool partial() const { return filled_ > frameLength_; }

  private:
    std::array<uint8_t, kLargestAdu> bytes_{};
    size_t filled_ = 0;
    size_t frameLength_ = 0; // of the frame last shown, taken off at the next call
};

// The big-endian 16-bit word at `at` of a frame, as Modbus sends every word.
uint16_t ReadWord(std::span<const uint8_t> bytes, size_t at);

using Answer = std::array<uint8_t, kLargestAdu>;
// Each returns the length of the ADU written into `out`. The exception answer carries the
// function code | 0x80: a function code of 0x80 or more keeps its byte as received.
size_t BuildException(const RequestHead &head, uint8_t exception, Answer &out);
// A normal answer: for 01 and 02 the coils out of the registers read from register
// address / 16 + 1, for 03 and 04 the registers, for the writes the echo Modbus defines.
size_t BuildAnswer(const RequestHead &head, std::span<const uint16_t> values, Answer &out);

} // namespace vpisd::gateway
