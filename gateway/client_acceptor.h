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
#include <unordered_map>
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

// Connections taken from one address: `burst` at once, then `perSecond` more each second (a
// token bucket per address), so that a client reconnecting in a loop is held to that rate.
class AddressRate {
  public:
    using Clock = std::chrono::steady_clock;
    // Addresses tracked at once; past them a flood comes from too many addresses for a
    // per-address rate to mean anything, and the connections of new ones are let through.
    static constexpr size_t kAddresses = 1024;

    struct Limit {
        double perSecond = 0;
        double burst = 0;
    };

    explicit AddressRate(Limit limit) : limit_(limit) {}
    // True when one more connection from `address` fits its rate at `now` (and takes its place).
    bool Admit(const std::string &address, Clock::time_point now);
    const Limit &limit() const { return limit_; }

  private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point at{};
    };
    // `bucket` refilled up to `now`.
    double TokensAt(const Bucket &bucket, Clock::time_point now) const;

    const Limit limit_;
    std::unordered_map<std::string, Bucket> buckets_;
};

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
