// The simulator's end of the serial line: the master of a raw pseudo-terminal whose slave the
// driver opens by its path.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vpisd::sim {

class PtyLine {
  public:
    PtyLine(); // throws SimError
    ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    const std::string &slavePath() const { return slavePath_; }
    // What has arrived, waiting at most timeoutMs for the first byte; empty when nothing came.
    std::vector<uint8_t> Read(int timeoutMs);
    // Sends every byte, one character time apart when baud is not 0; gives up when `stop` is set.
    void Write(std::span<const uint8_t> bytes, unsigned baud, unsigned bitsPerChar,
               const std::atomic<bool> &stop);

  private:
    void WriteSome(std::span<const uint8_t> bytes, const std::atomic<bool> &stop);

    int master_ = -1;
    int slave_ = -1; // held open so that the line stays up while the driver closes and reopens it
    std::string slavePath_;
};

} // namespace vpisd::sim
