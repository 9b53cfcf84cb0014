#include "gateway/modbus/modbus_server.h"

#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/endpoint.h"
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vpisd::gateway {
namespace {

using std::chrono::seconds;

constexpr int kListenBacklog = 128;
constexpr int kAcceptsPerTurn = 64;        // then the clients get their turn
constexpr auto kStalledFrame = seconds(5); // a frame begun and never finished
constexpr size_t kMostOwed = 256; // answers owed to one connection; past it, it is not read
constexpr auto kIdleBeforeEviction = seconds(10); // at max_clients, room is made from this on
constexpr int kIdlePollMs = 1000;
constexpr int kStoppingPollMs = 50;

// What each descriptor poll() watches stands for: these, then one slot per connection read.
enum PollSlot : size_t {
    kCompletionsSlot, // completions_->wakeFd: the workers have answers ready
    kStopSlot,        // stopFd_: Stop()
    kApplySlot,       // applyFd_: Apply()
    kListenSlot,      // the listening socket, or none while accepting rests
    kFirstConnectionSlot,
};

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

void Signal(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(eventFd, &one, sizeof one);
}

} // namespace

ModbusServer::Completions::Completions() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ModbusServer::Completions::~Completions() {
    if (wakeFd >= 0)
        close(wakeFd);
}

ModbusServer::ModbusServer(std::shared_ptr<const Config> config, std::vector<LineWorker *> workers,
                           Statistics &statistics)
    : config_(std::move(config)), workers_(std::move(workers)), statistics_(statistics) {
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    applyFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ModbusServer::~ModbusServer() {
    for (auto &[id, connection] : connections_)
        close(connection.fd);
    for (int fd : {listenFd_, stopFd_, applyFd_}) {
        if (fd >= 0)
            close(fd);
    }
}

bool ModbusServer::Listen(std::string &error) {
    if (completions_->wakeFd < 0 || stopFd_ < 0 || applyFd_ < 0) {
        error = std::string("cannot set up the Modbus server: ") + std::strerror(errno);
        return false;
    }
    return OpenListener(config_->server, listenFd_, error);
}

bool ModbusServer::OpenListener(const ServerConfig &server, int &listenFd,
                                std::string &error) const {
    ListenFailure failure;
    listenFd = ListenOn(server.listenHost, server.listenPort, kListenBacklog, failure);
    if (listenFd < 0) {
        error = (failure.resolved ? "cannot listen on " : "cannot resolve ") +
                host::EndpointText(server.listenHost, server.listenPort) + ": " + failure.why;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(listenFd, reinterpret_cast<sockaddr *>(&bound), &size);
    Log(Level::Notice, "", "listening on " + PeerText(bound));
    return true;
}

void ModbusServer::Apply(std::shared_ptr<const Config> config, std::vector<LineWorker *> workers,
                         std::string &error) {
    std::unique_lock lock(applyMutex_);
    applied_ = Applied{std::move(config), std::move(workers), {}, false};
    Signal(applyFd_);
    // A loop that has ended (a failed poll) takes nothing: the owner is told so.
    while (!applyTaken_.wait_for(lock, std::chrono::milliseconds(100),
                                 [&] { return applied_->taken; })) {
        if (ended_) {
            applied_->error = "the Modbus server has stopped";
            break;
        }
    }
    error = applied_->error;
    applied_.reset();
}

// On the server's thread: the configuration and workers Apply() hands over.
void ModbusServer::TakeApplied() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(applyFd_, &count, sizeof count);
    std::lock_guard lock(applyMutex_);
    if (!applied_ || applied_->taken)
        return;
    const ServerConfig &next = applied_->config->server;
    const ServerConfig &now = config_->server;
    const bool moved = next.listenHost != now.listenHost || next.listenPort != now.listenPort;
    int fd = -1;
    if (moved && !stopping_ && OpenListener(next, fd, applied_->error)) {
        std::vector<uint64_t> all;
        for (const auto &[id, connection] : connections_)
            all.push_back(id);
        for (uint64_t id : all)
            Drop(id, "was served on the old listen address");
        if (listenFd_ >= 0)
            close(listenFd_);
        listenFd_ = fd;
    }
    config_ = std::move(applied_->config);
    workers_ = std::move(applied_->workers);
    std::vector<uint64_t> refused;
    for (const auto &[id, connection] : connections_) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        if (getpeername(connection.fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
            !Allowed(config_->server.allow, peer))
            refused.push_back(id);
    }
    for (uint64_t id : refused)
        Drop(id, "is no longer in the allow-list");
    applied_->taken = true;
    applyTaken_.notify_all();
}

void ModbusServer::Stop() {
    Signal(stopFd_);
}

void ModbusServer::BeginStopping() {
    stopping_ = true;
    if (listenFd_ >= 0)
        close(listenFd_);
    listenFd_ = -1;
}

int ModbusServer::PollTimeoutMs(Clock::time_point now) const {
    if (stopping_)
        return kStoppingPollMs;
    if (!acceptor_.Accepting(now)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(acceptor_.restUntil() - now);
        return static_cast<int>(std::min<int64_t>(left.count() + 1, kIdlePollMs));
    }
    return kIdlePollMs;
}

void ModbusServer::Run() {
    while (true) {
        const auto now = Clock::now();
        polled_.clear();
        pollSet_.assign(kFirstConnectionSlot, pollfd{-1, POLLIN, 0});
        pollSet_[kCompletionsSlot].fd = completions_->wakeFd;
        pollSet_[kStopSlot].fd = stopFd_;
        pollSet_[kApplySlot].fd = applyFd_;
        const bool accepting = !stopping_ && listenFd_ >= 0 && acceptor_.Accepting(now);
        pollSet_[kListenSlot].fd = accepting ? listenFd_ : -1;
        if (!stopping_) {
            // A half-closed peer is not waited on: its end would be reported again and again.
            // Nor is one owed many answers: its requests wait in its socket until they are out.
            for (const auto &[id, connection] : connections_) {
                if (connection.readShut || connection.owed.size() >= kMostOwed)
                    continue;
                pollSet_.push_back({connection.fd, POLLIN, 0});
                polled_.push_back(id);
            }
        }
        if (poll(pollSet_.data(), pollSet_.size(), PollTimeoutMs(now)) < 0) {
            if (errno != EINTR && !stopping_) {
                Log(Level::Error, "", std::string("poll failed: ") + std::strerror(errno));
                BeginStopping();
            }
            for (pollfd &fd : pollSet_)
                fd.revents = 0;
        }
        const auto readable = [&](PollSlot slot) { return (pollSet_[slot].revents & POLLIN) != 0; };
        if (readable(kCompletionsSlot))
            DeliverCompletions();
        if (readable(kApplySlot))
            TakeApplied();
        if (readable(kStopSlot) && !stopping_)
            BeginStopping();
        if (stopping_) {
            // Every request passed on a line is answered, or its line has finished (the owner
            // stops the workers; a reload that ends Modbus keeps the lines MQTT still uses).
            const bool done =
                pending_.empty() || std::all_of(workers_.begin(), workers_.end(),
                                                [](const auto &w) { return w->finished(); });
            if (done) {
                DeliverCompletions();
                refusals_.Flush(true);
                busyLog_.Flush(true);
                dropLog_.Flush(true);
                // Every answer is out: the clients see the end now, not at their timeout.
                while (!connections_.empty())
                    Drop(connections_.begin()->first, "is no longer served", Level::Debug);
                ended_ = true;
                return;
            }
            continue;
        }
        if (readable(kListenSlot))
            Accept();
        for (size_t i = 0; i < polled_.size(); ++i) {
            if (pollSet_[kFirstConnectionSlot + i].revents != 0 &&
                connections_.count(polled_[i]) != 0)
                ReadFrom(polled_[i]);
        }
        Housekeeping(Clock::now());
    }
}

void ModbusServer::Accept() {
    bool reaped = false;
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        std::optional<ClientAcceptor::Client> client =
            acceptor_.Next(listenFd_, config_->server.allow, refusals_);
        if (!client)
            return;
        const int fd = client->fd;
        const std::string &who = client->who;
        if (PeerGone(fd)) {
            // Connected and gone before its turn came (a connect storm): never a client.
            close(fd);
            Log(Level::Debug, "", "client " + who + " left before it was served");
            continue;
        }
        if (connections_.size() >= static_cast<size_t>(config_->server.maxClients) && !reaped) {
            ReapGone(); // once a turn: clients that left make room before anyone is evicted
            reaped = true;
        }
        if (connections_.size() >= static_cast<size_t>(config_->server.maxClients) && !MakeRoom()) {
            close(fd);
            refusals_.Refused(who, "already " + std::to_string(connections_.size()) + " clients");
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard lock(clientsMutex_);
            Connection &connection = connections_[nextConnection_++];
            connection.fd = fd;
            connection.peer = who;
            connection.address = AddressOf(who);
            connection.since = WallClock::now();
            connection.lastRequest = Clock::now();
        }
        clientCount_ = connections_.size();
        Log(Level::Debug, "", "client " + who + " connected");
    }
}

// A peer that closed (or reset) its connection with nothing left unread: its end is waiting in
// the socket, not read yet.
bool ModbusServer::PeerGone(int fd) {
    uint8_t byte = 0;
    const ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Closes the connections whose peers have gone and are owed nothing, before their end is read
// in the loop's next turn: at max_clients they must not count.
void ModbusServer::ReapGone() {
    std::vector<uint64_t> gone;
    for (const auto &[id, c] : connections_) {
        if (c.owed.empty() && !c.reader.partial() && PeerGone(c.fd))
            gone.push_back(id);
    }
    for (uint64_t id : gone)
        Drop(id, "disconnected", Level::Debug);
}

// At max_clients the connection idle longest gives way, if it has been idle long enough.
bool ModbusServer::MakeRoom() {
    const auto now = Clock::now();
    auto oldest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        const Connection &c = it->second;
        if (!c.owed.empty() || c.reader.partial())
            continue;
        if (oldest == connections_.end() || c.lastRequest < oldest->second.lastRequest)
            oldest = it;
    }
    if (oldest == connections_.end() || now - oldest->second.lastRequest < kIdleBeforeEviction)
        return false;
    const auto idle = std::chrono::duration_cast<seconds>(now - oldest->second.lastRequest);
    Drop(oldest->first,
         "idle for " + std::to_string(idle.count()) + " s, closed to make room for a new client");
    return true;
}

// Reads what the socket holds, as far as the buffer takes, and serves every whole frame.
void ModbusServer::ReadFrom(uint64_t id) {
    Connection &connection = connections_.at(id);
    const std::span<uint8_t> space = connection.reader.Space();
    const ssize_t received = recv(connection.fd, space.data(), space.size(), MSG_DONTWAIT);
    if (received < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Drop(id, std::string("receive failed: ") + std::strerror(errno));
        return;
    }
    if (received == 0) {
        if (connection.reader.partial())
            Drop(id, "disconnected in the middle of a request");
        else if (!connection.owed.empty())
            connection.readShut = true; // answered, then closed
        else
            Drop(id, "disconnected", Level::Debug);
        return;
    }
    bool fresh = !connection.reader.partial(); // the bytes begin a frame
    connection.reader.Commit(static_cast<size_t>(received));
    while (true) {
        const FrameResult result = connection.reader.Next();
        if (result == FrameResult::Malformed) {
            Drop(id, "sent a malformed frame header");
            return;
        }
        if (result == FrameResult::NeedMore)
            break;
        Serve(id, connection);
        if (connections_.count(id) == 0)
            return;
        fresh = true; // what is left begins the next frame
    }
    // A client that always ends its sends in the middle of the next frame is not stalled: the
    // frame timeout counts from the moment the unfinished frame began.
    if (connection.reader.partial() && fresh)
        connection.partialSince = Clock::now();
}

void ModbusServer::Serve(uint64_t id, Connection &connection) {
    const auto received = Clock::now();
    connection.lastRequest = received;
    ++connection.requests;
    const ModbusRequest request = DecodeRequest(connection.reader.frame());
    const RequestHead &head = request.head;
    LineRequest job;
    const UnitConfig *unit = config_->FindUnit(head.unit);
    if (const uint8_t exception = PlanRequest(request, unit, config_->server.readOnly, job);
        exception != 0) {
        AnswerAtOnce(id, connection, head, exception, Outcome::Rejected, received);
        return;
    }
    const uint64_t ticket = nextTicket_++;
    job.source = Source::Modbus;
    job.client = id;
    job.queued = received;
    job.done = [completions = completions_, ticket](LineReply &&reply) {
        {
            std::lock_guard lock(completions->mutex);
            completions->ready.push_back({ticket, std::move(reply)});
        }
        Signal(completions->wakeFd);
    };
    LineWorker &worker = *workers_[unit->line];
    if (const Queued queued = worker.Submit(job); queued != Queued::Taken) {
        // "queue full: unit 1 answered busy (06)", or "line restarting: ..." while a reload
        // replaces the line's worker.
        const bool full = queued == Queued::Full;
        const std::string kind = full ? "queue full:" : "line restarting:";
        const std::string unitText = "unit " + std::to_string(head.unit);
        busyLog_.Note(Level::Warning, worker.name(), kind + unitText,
                      kind + " " + unitText + " answered busy (06)",
                      {kind, "for " + unitText + " answered busy (06)"});
        AnswerAtOnce(id, connection, head, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY,
                     full ? Outcome::Busy : Outcome::Restarting, received);
        return;
    }
    connection.owed.push_back({ticket, {}});
    pending_[ticket] = Pending{id, head, received};
}

void ModbusServer::AnswerAtOnce(uint64_t id, Connection &connection, const RequestHead &head,
                                uint8_t exception, Outcome outcome, Clock::time_point received) {
    statistics_.Record(head.unit, outcome, Since(received));
    Answer answer;
    const size_t length = BuildException(head, exception, answer);
    connection.owed.push_back({0, {answer.begin(), answer.begin() + length}});
    SendOwed(id);
}

void ModbusServer::DeliverCompletions() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(completions_->wakeFd, &count, sizeof count);
    std::vector<Completion> ready;
    {
        std::lock_guard lock(completions_->mutex);
        ready.swap(completions_->ready);
    }
    for (Completion &done : ready) {
        const auto found = pending_.find(done.ticket);
        if (found == pending_.end())
            continue;
        const Pending pending = found->second;
        pending_.erase(found);
        statistics_.Record(pending.head.unit, OutcomeOf(done.reply.status),
                           Since(pending.received));
        const auto connection = connections_.find(pending.connection);
        if (connection == connections_.end())
            continue; // the client left; its answer goes nowhere
        auto &owed = connection->second.owed;
        const auto slot = std::find_if(owed.begin(), owed.end(),
                                       [&](const auto &o) { return o.ticket == done.ticket; });
        if (slot == owed.end())
            continue;
        Answer answer;
        const uint8_t exception = ExceptionFor(done.reply.status);
        const size_t length = exception != 0 ? BuildException(pending.head, exception, answer)
                                             : BuildAnswer(pending.head, done.reply.values, answer);
        slot->ticket = 0;
        slot->bytes.assign(answer.begin(), answer.begin() + length);
        SendOwed(pending.connection);
    }
}

// Answers are small and a client reads them: one that lets its receive window fill up is
// closed rather than waited for.
void ModbusServer::SendOwed(uint64_t id) {
    const auto found = connections_.find(id);
    if (found == connections_.end())
        return;
    Connection &connection = found->second;
    while (!connection.owed.empty() && connection.owed.front().ticket == 0) {
        const std::vector<uint8_t> &bytes = connection.owed.front().bytes;
        const ssize_t sent =
            send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent != static_cast<ssize_t>(bytes.size())) {
            Drop(id, sent < 0 ? std::string("cannot be answered: ") + std::strerror(errno)
                              : std::string("cannot be answered: it does not read"));
            return;
        }
        connection.owed.pop_front();
    }
    if (connection.readShut && connection.owed.empty())
        Drop(id, "half-closed; answered", Level::Debug);
}

void ModbusServer::Housekeeping(Clock::time_point now) {
    const auto idleLimit = seconds(config_->server.idleTimeoutS);
    std::vector<std::pair<uint64_t, std::string>> closing;
    for (auto &[id, c] : connections_) {
        if (c.owed.size() >= kMostOwed)
            c.partialSince = now; // not read meanwhile: its frame is not stalled
        else if (c.reader.partial() && now - c.partialSince > kStalledFrame)
            closing.emplace_back(id, "left a request unfinished");
        else if (idleLimit.count() > 0 && c.owed.empty() && !c.reader.partial() &&
                 now - c.lastRequest >= idleLimit)
            closing.emplace_back(id, "sent no request for " +
                                         std::to_string(config_->server.idleTimeoutS) + " s");
    }
    for (const auto &[id, why] : closing)
        Drop(id, why);
    refusals_.Flush(false);
    busyLog_.Flush(false);
    dropLog_.Flush(false);
}

void ModbusServer::Drop(uint64_t id, const std::string &why, Level level) {
    const auto found = connections_.find(id);
    if (found == connections_.end())
        return;
    // A client that does the same in a loop costs one line a minute.
    const std::string text = "client " + found->second.peer + " " + why + "; connection closed";
    const std::string &address = found->second.address;
    if (level <= Level::Notice)
        dropLog_.Note(level, "", address + " " + why, text,
                      {"connections closed:", "from " + address + " (" + why + ")"});
    else
        Log(level, "", text);
    close(found->second.fd);
    {
        std::lock_guard lock(clientsMutex_);
        connections_.erase(found);
    }
    clientCount_ = connections_.size();
}

std::vector<ModbusClientSnapshot> ModbusServer::Clients() const {
    std::lock_guard lock(clientsMutex_);
    std::vector<ModbusClientSnapshot> clients;
    for (const auto &[id, connection] : connections_)
        clients.push_back({connection.peer, connection.since, connection.requests.load()});
    return clients;
}

} // namespace vpisd::gateway
