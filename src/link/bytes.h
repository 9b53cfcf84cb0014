// SY/MAX link control bytes and the byte helpers shared by the link and routing code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vpisd {

constexpr uint8_t DLE = 0x10;
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ENQ = 0x05;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t TOGGLE_ODD = 0x11;
constexpr uint8_t TOGGLE_EVEN = 0x12;
constexpr uint8_t TRAILER = 0xFE;

// Two's complement of the byte sum: covered bytes plus checksum add up to 0 mod 256.
uint8_t Checksum(const uint8_t *bytes, size_t count);
// Low 16 bits of value, high byte first.
void PutWordBigEndian(uint32_t value, uint8_t *destination);
// Two upper-case hex characters, high nibble first; no terminator.
void ToHexPair(uint8_t byte, uint8_t *destination);

} // namespace vpisd
