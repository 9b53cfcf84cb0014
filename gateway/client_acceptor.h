// Takes the clients waiting on a listening socket, for the Modbus and the HTTP servers alike.
// A process out of descriptors rests its listening socket for a moment (clients wait in the
// backlog) instead of spinning on it, and says so once, and once more when descriptors are free
// again; a client outside the allow-list is refused through the server's refusal log.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/allow_list.h"
#include "gateway/refusal_log.h"

namespace vpisd::gateway {

// A non-blocking listening socket on the first address of `host` that binds; -1 when none
// does, with the cause in `why` (the resolver's words when `resolved` is false).
struct ListenFailure {
    bool resolved = true;
    std::string why = "no address";
};
int ListenOn(const std::string &host, uint16_t port, int backlog, ListenFailure &failure);

class ClientAcceptor {
  public:
    using Clock = std::chrono::steady_clock;

    struct Client {
        int fd = -1; // non-blocking, close-on-exec
        sockaddr_storage peer{};
        std::string who; // PeerText(peer)
    };

    // `prefix` starts each of its log lines ("http: " or empty); `rest`: how long the listening
    // socket is left alone when the process is out of descriptors.
    ClientAcceptor(std::string prefix, Clock::duration rest)
        : prefix_(std::move(prefix)), rest_(rest) {}

    // The next waiting client that `allow` admits; nullopt when none waits now or accepting
    // rests. Clients refused on the way are closed and logged in `refusals`.
    std::optional<Client> Next(int listenFd, const std::vector<AddressBlock> &allow,
                               RefusalLog &refusals);
    // False while the listening socket rests.
    bool Accepting(Clock::time_point now) const { return now >= restUntil_; }
    Clock::time_point restUntil() const { return restUntil_; }

  private:
    void Rest(int error);

    const std::string prefix_;
    const Clock::duration rest_;
    Clock::time_point restUntil_{};
    bool outOfDescriptors_ = false; // logged once until an accept succeeds again
};

} // namespace vpisd::gateway
