#include "link/bytes.h"

namespace vpisd {

uint8_t Checksum(const uint8_t *bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(0x100u - (sum & 0xFFu));
}

void PutWordBigEndian(uint32_t value, uint8_t *destination) {
    destination[0] = static_cast<uint8_t>((value >> 8) & 0xFFu);
    destination[1] = static_cast<uint8_t>(value & 0xFFu);
}

void ToHexPair(uint8_t byte, uint8_t *destination) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    destination[0] = static_cast<uint8_t>(kHexDigits[byte >> 4]);
    destination[1] = static_cast<uint8_t>(kHexDigits[byte & 0x0F]);
}

} // namespace vpisd
