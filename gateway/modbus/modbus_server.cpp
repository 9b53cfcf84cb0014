#include "gateway/modbus/modbus_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

constexpr int kListenBacklog = 64;
constexpr size_t kMbapLength = 6;       // transaction, protocol, length; the unit follows
constexpr uint16_t kSmallestLength = 2; // unit and function code
constexpr uint16_t kLargestLength = MODBUS_TCP_MAX_ADU_LENGTH - kMbapLength;
constexpr auto kStalledFrame = std::chrono::seconds(5); // a frame begun and never finished
constexpr int kIdlePollMs = 1000;
constexpr int kStoppingPollMs = 50;

uint16_t Word(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void SetLowWater(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

Outcome OutcomeOf(LineStatus status) {
    switch (status) {
    case LineStatus::Ok:
        return Outcome::Ok;
    case LineStatus::Refused:
        return Outcome::Refused;
    case LineStatus::NoAnswer:
    case LineStatus::LineDown:
        return Outcome::NoAnswer;
    case LineStatus::Busy:
    case LineStatus::Cancelled:
        break;
    }
    return Outcome::Busy;
}

std::chrono::microseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

} // namespace

ModbusServer::ModbusServer(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers,
                           Statistics &statistics)
    : config_(config), workers_(workers), statistics_(statistics) {
    ctx_ = modbus_new_tcp(nullptr, 0);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ModbusServer::~ModbusServer() {
    for (auto &[id, client] : clients_)
        close(client.fd);
    if (listenFd_ >= 0)
        close(listenFd_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
    if (ctx_ != nullptr) {
        modbus_set_socket(ctx_, -1);
        modbus_free(ctx_);
    }
}

bool ModbusServer::Listen(std::string &error) {
    if (ctx_ == nullptr || wakeFd_ < 0) {
        error = "cannot set up the Modbus context";
        return false;
    }
    const ServerConfig &server = config_.server;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const std::string port = std::to_string(server.listenPort);
    if (const int rc = getaddrinfo(server.listenHost.c_str(), port.c_str(), &hints, &list);
        rc != 0) {
        error = "cannot resolve " + server.listenHost + ": " + gai_strerror(rc);
        return false;
    }
    error = "no address to listen on";
    for (addrinfo *a = list; a != nullptr && listenFd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, kListenBacklog) == 0) {
            listenFd_ = fd;
        } else {
            error =
                "cannot listen on " + server.listenHost + ":" + port + ": " + std::strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(list);
    if (listenFd_ < 0)
        return false;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr *>(&bound), &size);
    Log(Level::Notice, "", "listening on " + PeerText(bound));
    return true;
}

void ModbusServer::Run(int signalFd) {
    bool stopping = false;
    const auto beginStopping = [&](const std::string &why) {
        Log(Level::Notice, "", "stopping on " + why + ": finishing the transactions in progress");
        stopping = true;
        close(listenFd_);
        listenFd_ = -1;
        for (auto &worker : workers_)
            worker->BeginStop();
    };
    while (true) {
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {signalFd, POLLIN, 0}};
        std::vector<uint64_t> order;
        if (!stopping) {
            fds.push_back({listenFd_, POLLIN, 0});
            for (const auto &[id, client] : clients_) {
                fds.push_back({client.fd, POLLIN, 0});
                order.push_back(id);
            }
        }
        const int timeout = stopping ? kStoppingPollMs : kIdlePollMs;
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno != EINTR && !stopping)
                beginStopping(std::string("a failed poll: ") + std::strerror(errno));
            for (pollfd &fd : fds)
                fd.revents = 0;
        }
        if ((fds[0].revents & POLLIN) != 0)
            DeliverCompletions();
        if ((fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1)
                    statistics_.Report();
                else if (!stopping)
                    beginStopping(strsignal(static_cast<int>(info.ssi_signo)));
            }
        }
        if (stopping) {
            const bool done = std::all_of(workers_.begin(), workers_.end(),
                                          [](const auto &w) { return w->finished(); });
            if (done) {
                DeliverCompletions();
                return;
            }
            continue;
        }
        if ((fds[2].revents & POLLIN) != 0)
            Accept();
        for (size_t i = 0; i < order.size(); ++i) {
            if (fds[3 + i].revents != 0 && clients_.count(order[i]) != 0)
                ReadFrom(order[i]);
        }
        DropStalled();
    }
}

void ModbusServer::Accept() {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const std::string who = PeerText(peer);
    if (!Allowed(config_.server.allow, peer)) {
        Log(Level::Warning, "", "refused " + who + ": not in the allow-list");
        close(fd);
        return;
    }
    if (clients_.size() >= static_cast<size_t>(config_.server.maxClients)) {
        Log(Level::Warning, "",
            "refused " + who + ": already " + std::to_string(clients_.size()) + " clients");
        close(fd);
        return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clients_[nextClient_++] = Client{fd, who, {}, false};
    Log(Level::Debug, "", "client " + who + " connected");
}

// Only a complete frame goes to libmodbus, so its receive never waits: until one is there, the
// socket's low-water mark keeps poll quiet.
void ModbusServer::ReadFrom(uint64_t id) {
    Client &client = clients_[id];
    uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
    const ssize_t seen = recv(client.fd, adu, sizeof adu, MSG_PEEK | MSG_DONTWAIT);
    if (seen == 0) {
        if (client.partial)
            Drop(id, "disconnected in the middle of a request");
        else
            Drop(id, "disconnected", Level::Debug);
        return;
    }
    if (seen < 0) {
        if (errno != EAGAIN && errno != EINTR)
            Drop(id, std::string("receive failed: ") + std::strerror(errno));
        return;
    }
    size_t needed = kMbapLength + 1;
    if (static_cast<size_t>(seen) >= kMbapLength) {
        const uint16_t length = Word(adu + 4);
        if (Word(adu + 2) != 0 || length < kSmallestLength || length > kLargestLength) {
            Drop(id, "sent a malformed frame header");
            return;
        }
        needed = kMbapLength + length;
    }
    if (static_cast<size_t>(seen) < needed) {
        if (!client.partial) {
            client.partial = true;
            client.partialSince = Clock::now();
        }
        SetLowWater(client.fd, static_cast<int>(needed));
        return;
    }
    if (client.partial) {
        client.partial = false;
        SetLowWater(client.fd, 1);
    }
    // libmodbus reads as far as the function code and byte count say; a frame whose MBAP
    // length disagrees would make it wait or leave bytes behind, so the gateway takes that
    // one off the socket itself and answers it with an exception.
    const int header = modbus_get_header_length(ctx_);
    const std::span<const uint8_t> pdu(adu + header, needed - static_cast<size_t>(header));
    int length = 0;
    if (FramedAsAnnounced(pdu)) {
        modbus_set_socket(ctx_, client.fd);
        length = modbus_receive(ctx_, adu);
    } else {
        length = static_cast<int>(recv(client.fd, adu, needed, MSG_DONTWAIT));
    }
    if (length <= 0 || static_cast<size_t>(length) != needed) {
        Drop(id, std::string("sent a frame that cannot be read: ") + modbus_strerror(errno));
        return;
    }
    Serve(id, adu, length);
}

void ModbusServer::Serve(uint64_t id, const uint8_t *adu, int length) {
    const auto received = Clock::now();
    const int header = modbus_get_header_length(ctx_);
    const uint8_t unitId = adu[header - 1];
    const UnitConfig *unit = config_.FindUnit(unitId);
    if (unit == nullptr) {
        Answer(id, adu, length, MODBUS_EXCEPTION_GATEWAY_PATH, unitId, Outcome::Rejected, received);
        return;
    }
    Pending pending{id, std::vector<uint8_t>(adu, adu + length), unitId, {}, received};
    const std::span<const uint8_t> pdu(adu + header, static_cast<size_t>(length - header));
    uint8_t exception = DecodePdu(pdu, pending.pdu);
    const FunctionRule *rule = FindFunction(pending.pdu.function);
    if (exception == 0 && rule->write && (config_.server.readOnly || unit->readOnly))
        exception = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    LineRequest job;
    if (exception == 0)
        exception = BuildLineRequest(pending.pdu, unit->plc, job);
    if (exception != 0) {
        Answer(id, adu, length, exception, unitId, Outcome::Rejected, received);
        return;
    }
    const uint64_t ticket = nextTicket_++;
    job.source = Source::Modbus;
    job.client = id;
    job.queued = received;
    job.done = [this, ticket](LineReply &&reply) {
        {
            std::lock_guard lock(completionsMutex_);
            completions_.push_back({ticket, std::move(reply)});
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
    };
    LineWorker &worker = *workers_[unit->line];
    if (!worker.Submit(job)) {
        Log(Level::Warning, worker.name(),
            "queue full: unit " + std::to_string(unitId) + " answered busy (06)");
        Answer(id, adu, length, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY, unitId, Outcome::Busy,
               received);
        return;
    }
    pending_[ticket] = std::move(pending);
}

void ModbusServer::Answer(uint64_t id, const uint8_t *adu, int length, uint8_t exception,
                          uint8_t unit, Outcome outcome, Clock::time_point received) {
    statistics_.Record(unit, outcome, Since(received));
    (void)length;
    modbus_set_socket(ctx_, clients_[id].fd);
    if (modbus_reply_exception(ctx_, adu, exception) < 0)
        Drop(id, "cannot be answered");
}

void ModbusServer::DeliverCompletions() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
    std::vector<Completion> ready;
    {
        std::lock_guard lock(completionsMutex_);
        ready.swap(completions_);
    }
    for (Completion &done : ready) {
        const auto found = pending_.find(done.ticket);
        if (found == pending_.end())
            continue;
        const Pending &pending = found->second;
        statistics_.Record(pending.unit, OutcomeOf(done.reply.status), Since(pending.received));
        if (clients_.count(pending.client) != 0)
            SendReply(pending, done.reply);
        pending_.erase(found);
    }
}

// A success is answered by libmodbus from a mapping that holds just the range asked for: the
// values read, or room for the values written.
void ModbusServer::SendReply(const Pending &pending, const LineReply &reply) {
    modbus_set_socket(ctx_, clients_[pending.client].fd);
    if (reply.status != LineStatus::Ok) {
        if (modbus_reply_exception(ctx_, pending.adu.data(), ExceptionFor(reply.status)) < 0)
            Drop(pending.client, "cannot be answered");
        return;
    }
    const ModbusPdu &pdu = pending.pdu;
    const FunctionRule *rule = FindFunction(pdu.function);
    const unsigned start = pdu.address;
    const unsigned bits = rule->form == TagForm::Bits ? pdu.quantity : 0;
    const unsigned registers = rule->form == TagForm::Registers ? pdu.quantity : 0;
    modbus_mapping_t *mapping = modbus_mapping_new_start_address(start, bits, start, bits, start,
                                                                 registers, start, registers);
    if (mapping == nullptr) {
        Drop(pending.client, "cannot be answered (no memory)");
        return;
    }
    if (!rule->write && rule->form == TagForm::Registers) {
        std::copy(reply.values.begin(), reply.values.end(), mapping->tab_registers);
        std::copy(reply.values.begin(), reply.values.end(), mapping->tab_input_registers);
    } else if (!rule->write) {
        const auto coils = CoilsFromRegisters(pdu.address, pdu.quantity, reply.values);
        std::copy(coils.begin(), coils.end(), mapping->tab_bits);
        std::copy(coils.begin(), coils.end(), mapping->tab_input_bits);
    }
    Reply(pending.client, pending.adu, mapping);
    modbus_mapping_free(mapping);
}

bool ModbusServer::Reply(uint64_t id, const std::vector<uint8_t> &adu, modbus_mapping_t *mapping) {
    if (modbus_reply(ctx_, adu.data(), static_cast<int>(adu.size()), mapping) >= 0)
        return true;
    Drop(id, "cannot be answered");
    return false;
}

void ModbusServer::DropStalled() {
    const auto now = Clock::now();
    std::vector<uint64_t> stalled;
    for (const auto &[id, client] : clients_) {
        if (client.partial && now - client.partialSince > kStalledFrame)
            stalled.push_back(id);
    }
    for (uint64_t id : stalled)
        Drop(id, "left a request unfinished");
}

void ModbusServer::Drop(uint64_t id, const std::string &why, Level level) {
    const auto found = clients_.find(id);
    if (found == clients_.end())
        return;
    Log(level, "", "client " + found->second.peer + " " + why + "; connection closed");
    close(found->second.fd);
    clients_.erase(found);
    // Its requests still in the lines are answered into the void when they finish.
}

} // namespace vpisd::gateway
