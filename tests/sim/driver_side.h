// The driver's end of the simulator's line, played by hand: raw bytes in and out of the pty slave,
// and request frames built here independently of the simulator's codec.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vpisd::sim::test {

using Bytes = std::vector<uint8_t>;

// A request or reply frame: 10 01 toggle route 10 02 body 10 03 checksum, DLEs of route and body
// doubled, plus the FE trailer of a request when `trailer` is set.
Bytes WireFrame(uint8_t toggle, const std::string &route, const Bytes &body, bool trailer = true);

class DriverSide {
  public:
    explicit DriverSide(const std::string &path);
    ~DriverSide();
    DriverSide(const DriverSide &) = delete;
    DriverSide &operator=(const DriverSide &) = delete;

    void Write(const Bytes &bytes) const;
    // Reads until `count` bytes are in or `timeoutMs` passes without a byte.
    Bytes Read(size_t count, int timeoutMs) const;
    // Everything until the line has been quiet for quietMs.
    Bytes Drain(int quietMs) const;

    // FE x10, 10 05; returns the two-byte answer.
    Bytes Enquire() const;
    // DLE NAK, then the frame; returns the acknowledgement and reply bytes that came back.
    // Waits up to ackMs for the first two bytes, then until the line is quiet for quietMs.
    Bytes Request(uint8_t toggle, const std::string &route, const Bytes &body, int quietMs = 150,
                  int ackMs = 1000) const;

  private:
    int fd_ = -1;
};

} // namespace vpisd::sim::test
