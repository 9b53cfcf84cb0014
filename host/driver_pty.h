// The pseudo-terminal a host hands the driver as its port when the bytes go elsewhere (a TCP
// connection, a traced serial device): the driver opens the slave end by its path, the host
// relays the master end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vpisd::host {

class DriverPty {
  public:
    DriverPty() = default;
    ~DriverPty();
    DriverPty(const DriverPty &) = delete;
    DriverPty &operator=(const DriverPty &) = delete;

    // A raw pty pair, both ends closed on exec, the master end non-blocking; false with the
    // reason in `error`.
    bool Open(std::string &error);
    int master() const { return master_; }
    // Path of the end that the driver opens.
    const std::string &path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1; // held open so that the line stays up while the driver closes and reopens it
    std::string path_;
};

// The descriptors a relay polls: the pty's master end (the driver's side), then the far side (a
// socket, a serial device).
enum RelaySlot : size_t { kDriverSide, kFarSide, kRelaySlots };

// Writes all of `data` to `fd` (a socket when `isSocket`: no SIGPIPE), waiting up to a second
// each time it is full; false when it fails or stays full.
bool WriteAll(int fd, bool isSocket, std::span<const uint8_t> data);

} // namespace vpisd::host
