// Connections refused at accept, logged once per address and minute: a client that reconnects
// in a loop costs one line, and the ones left out are counted in a line of their own once that
// minute is over. Used by the Modbus loop and by the HTTP server's threads alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "gateway/log.h"

namespace vpisd::gateway {

class RefusalLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::seconds(60);

    // Lines read `prefix` + "refused " + ...
    RefusalLog(Level level, std::string prefix) : level_(level), prefix_(std::move(prefix)) {}

    // "refused PEER: REASON", with `peer` as PeerText() gives it ("a.b.c.d:port",
    // "[x::y]:port"); counted by its address alone.
    void Refused(const std::string &peer, const std::string &reason);
    // Logs the counts of the minutes that are over; every count with `all` (at the end).
    void Flush(bool all);

  private:
    struct Entry {
        Clock::time_point since{}; // when the last line was logged
        uint64_t unlogged = 0;
    };
    void LogCount(const std::string &address, uint64_t count) const;

    const Level level_;
    const std::string prefix_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

} // namespace vpisd::gateway
