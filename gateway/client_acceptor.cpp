#include "gateway/client_acceptor.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gateway/log.h"

namespace vpisd::gateway {

int ListenOn(const std::string &host, uint16_t port, int backlog, ListenFailure &failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        rc != 0) {
        failure = {false, gai_strerror(rc)};
        return -1;
    }
    int listening = -1;
    for (addrinfo *a = list; a != nullptr && listening < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            failure.why = std::strerror(errno);
            continue;
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, backlog) == 0) {
            listening = fd;
        } else {
            failure.why = std::strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(list);
    return listening;
}

double AddressRate::TokensAt(const Bucket &bucket, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - bucket.at).count();
    return std::min(limit_.burst, bucket.tokens + std::max(seconds, 0.0) * limit_.perSecond);
}

bool AddressRate::Admit(const std::string &address, Clock::time_point now) {
    auto found = buckets_.find(address);
    if (found == buckets_.end()) {
        if (buckets_.size() >= kAddresses) {
            // An address whose bucket is full again is as good as new: it goes.
            std::erase_if(buckets_, [&](const auto &entry) {
                return TokensAt(entry.second, now) >= limit_.burst;
            });
        }
        if (buckets_.size() >= kAddresses)
            return true;
        found = buckets_.emplace(address, Bucket{limit_.burst, now}).first;
    }
    Bucket &bucket = found->second;
    bucket.tokens = TokensAt(bucket, now);
    bucket.at = now;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

std::optional<ClientAcceptor::Client>
ClientAcceptor::Next(int listenFd, const std::vector<AddressBlock> &allow, RefusalLog &refusals) {
    while (Accepting(Clock::now())) {
        Client client;
        socklen_t size = sizeof client.peer;
        client.fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&client.peer), &size,
                            SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client.fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                Rest(errno);
                return std::nullopt;
            }
            if (errno == ECONNABORTED || errno == EINTR || errno == EPROTO)
                continue;
            return std::nullopt; // EAGAIN: nobody else waiting
        }
        if (outOfDescriptors_) {
            outOfDescriptors_ = false;
            Log(Level::Notice, "", prefix_ + "descriptors free again: accepting clients");
        }
        client.who = PeerText(client.peer);
        if (!Allowed(allow, client.peer)) {
            close(client.fd);
            refusals.Refused(client.who, "not in the allow-list");
            continue;
        }
        return client;
    }
    return std::nullopt;
}

void ClientAcceptor::Rest(int error) {
    restUntil_ = Clock::now() + rest_;
    if (outOfDescriptors_)
        return;
    outOfDescriptors_ = true;
    Log(Level::Warning, "",
        prefix_ + "cannot accept clients: " + std::strerror(error) +
            "; new clients wait until descriptors are free");
}

} // namespace vpisd::gateway
