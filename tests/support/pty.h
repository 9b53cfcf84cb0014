// A real pseudo-terminal for tests: the driver opens the slave by its path, the
// test plays the far end of the line on the master.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vpisd::test {

class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return master_; }
    // The test's own descriptor of the slave (e.g. to fill the line's output queue).
    int slave() const { return slave_; }
    // Device path of the slave, e.g. "/dev/pts/4" (at most 11 characters on this machine).
    const std::string &path() const { return path_; }

    void Write(const std::vector<uint8_t> &bytes) const;
    // Reads what arrives until `count` bytes are in or `timeoutMs` passes with nothing new.
    std::vector<uint8_t> Read(size_t count, int timeoutMs) const;
    // Everything that arrives until the line has been quiet for quietMs.
    std::vector<uint8_t> Drain(int quietMs) const;

  private:
    int master_ = -1;
    int slave_ = -1; // held open so the line stays up while the driver closes and reopens it
    std::string path_;
};

// Fills the output queue of a terminal through a descriptor of its own (set non-blocking
// here) until it takes no more, so that the next write to that line waits for the far end
// to read. The kernel moves queued bytes on in the background, so it keeps offering smaller
// chunks until two rounds take nothing. Returns the number of bytes queued.
size_t FillOutputQueue(int fd);

// "10 01 11" -> {0x10, 0x01, 0x11}; and back.
std::vector<uint8_t> Hex(const std::string &text);
std::string ToHex(const std::vector<uint8_t> &bytes);

} // namespace vpisd::test
