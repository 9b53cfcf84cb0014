// What every fuzz target shares: a fatal property check, guard bytes around records and a
// reader for the input bytes. The support library also gives the driver a host logger that
// formats every message and drops it (a bad argument for a format shows under the sanitizers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vpisd::fuzz {

// Prints the broken property and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char *file, int line, const char *property);

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::vpisd::fuzz::Fail(__FILE__, __LINE__, #condition);                                   \
        }                                                                                          \
    } while (0)

// The harness's own checks are left out of the coverage the fuzzer steers by: they add no
// paths of the driver, and traced byte loops over guards would cost most of each run.
#define FUZZ_UNTRACED __attribute__((no_sanitize("coverage")))

constexpr uint8_t kGuardByte = 0xA5;
constexpr size_t kGuardBytes = 64;

// A record with guard bytes on both sides; every byte starts as kGuardByte.
template <typename T> struct Guarded {
    uint8_t before[kGuardBytes];
    T value;
    uint8_t after[kGuardBytes];

    Guarded() { std::memset(static_cast<void *>(this), kGuardByte, sizeof *this); }
    FUZZ_UNTRACED bool GuardsIntact() const {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (before[i] != kGuardByte || after[i] != kGuardByte) {
                return false;
            }
        }
        return true;
    }
};

// True when bytes [begin, end) of object all still hold kGuardByte.
FUZZ_UNTRACED bool Untouched(const void *object, size_t begin, size_t end);

// Takes the fuzz input from the front; past its end every read gives zeros.
class InputReader {
  public:
    InputReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    int16_t Int16() {
        const auto high = static_cast<uint16_t>(Byte() << 8);
        return static_cast<int16_t>(high | Byte());
    }
    int32_t Int32() {
        const auto high = static_cast<uint32_t>(static_cast<uint16_t>(Int16())) << 16;
        return static_cast<int32_t>(high | static_cast<uint16_t>(Int16()));
    }
    const uint8_t *Rest() const { return data_ + position_; }
    size_t RestSize() const { return size_ - position_; }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

} // namespace vpisd::fuzz
