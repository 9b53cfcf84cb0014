#include "gateway/client_acceptor.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gateway/log.h"

namespace vpisd::gateway {

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
