// Connections refused at accept, logged once per address and minute: a client that reconnects
// in a loop costs one line, and the ones left out are counted in a line of their own once that
// minute is over. Past 32 addresses in a minute the refusals of further addresses are counted
// together, so that a flood from thousands of addresses costs a few dozen lines. Used by the
// Modbus loop and by the HTTP server's thread alike.
#pragma once

#include <string>

#include "gateway/limited_log.h"

namespace vpisd::gateway {

class RefusalLog {
  public:
    // Lines read `prefix` + "refused " + ...
    RefusalLog(Level level, std::string prefix)
        : level_(level), prefix_(std::move(prefix)),
          log_({prefix_ + "refused", "from other addresses"}) {}

    // "refused PEER: REASON", with `peer` as PeerText() gives it ("a.b.c.d:port",
    // "[x::y]:port"); counted by its address alone.
    void Refused(const std::string &peer, const std::string &reason);
    // Logs the counts of the minutes that are over; every count with `all` (at the end).
    void Flush(bool all) { log_.Flush(all); }

  private:
    const Level level_;
    const std::string prefix_;
    LimitedLog log_;
};

} // namespace vpisd::gateway
