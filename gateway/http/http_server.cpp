#include "gateway/http/http_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "gateway/config/allow_list.h"
#include "gateway/log.h"
#include "host/endpoint.h"

namespace vpisd::gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 64;
constexpr int kAcceptsPerTurn = 16;
constexpr size_t kReadsPerTurn = 16; // of kReadSize: one client cannot keep the loop to itself
constexpr size_t kReadSize = 4096;

// What each descriptor poll() watches stands for: these, then one slot per connection.
enum PollSlot : size_t {
    kWakeSlot,   // wakeFd_: Stop()
    kListenSlot, // the listening socket, or none while accepting rests
    kFirstConnectionSlot,
};

std::string HostOf(const std::string &peer) {
    const size_t colon = peer.rfind(':');
    std::string host = peer.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[')
        host = host.substr(1, host.size() - 2);
    return host;
}

int PortOf(const std::string &peer) {
    const size_t colon = peer.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(peer.c_str() + colon + 1);
}

} // namespace

struct HttpServer::Connection {
    // Held: beyond its address's rate, left unread until its deadline.
    enum class Phase { Held, Reading, Writing, Draining, Done };

    int fd = -1;
    std::string peer;
    Phase phase = Phase::Reading;
    Clock::time_point deadline;
    Clock::time_point heard; // its accept, or the last bytes it sent
    HttpHead head;
    std::string answer;
    size_t sent = 0;

    ~Connection() {
        if (fd >= 0)
            close(fd);
    }
};

HttpServer::HttpServer(const HttpConfig &config, std::function<GatewayStatus()> status)
    : config_(config), routes_(std::move(status)), wakeFd_(eventfd(0, EFD_CLOEXEC)) {}

HttpServer::~HttpServer() {
    Stop();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

bool HttpServer::Listen(std::string &error) {
    const auto fail = [&](const std::string &why) {
        error = "cannot listen for HTTP on " +
                host::EndpointText(config_.listenHost, config_.listenPort) + ": " + why;
        return false;
    };
    if (wakeFd_ < 0)
        return fail(std::strerror(errno));
    ListenFailure failure;
    listenFd_ = ListenOn(config_.listenHost, config_.listenPort, kListenBacklog, failure);
    if (listenFd_ < 0)
        return fail(failure.why);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr *>(&bound), &size);
    Log(Level::Notice, "",
        "status endpoint on http://" +
            host::EndpointText(config_.listenHost, static_cast<uint16_t>(PortOf(PeerText(bound)))) +
            "/");
    return true;
}

bool HttpServer::Start(const ServedLines &, std::string &error) {
    if (!Listen(error))
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void HttpServer::Stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    // The port is given back now: a restarted server listens on it next.
    if (listenFd_ >= 0)
        close(listenFd_);
    listenFd_ = -1;
    refusals_.Flush(true);
    evictions_.Flush(true);
}

void HttpServer::Tick() {
    refusals_.Flush(false);
    evictions_.Flush(false);
}

void HttpServer::Run() {
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    while (!stopping_) {
        auto now = Clock::now();
        const bool accepting = acceptor_.Accepting(now);
        auto wake = accepting ? now + std::chrono::seconds(1) : acceptor_.restUntil();
        fds.assign(kFirstConnectionSlot, pollfd{-1, POLLIN, 0});
        fds[kWakeSlot].fd = wakeFd_;
        fds[kListenSlot].fd = accepting ? listenFd_ : -1;
        for (const auto &connection : connections) {
            using Phase = Connection::Phase;
            const short events = connection->phase == Phase::Writing ? POLLOUT
                                 : connection->phase == Phase::Held  ? 0
                                                                     : POLLIN;
            fds.push_back({connection->fd, events, 0});
            wake = std::min(wake, connection->deadline);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0) {
            if (errno == EINTR)
                continue;
            Log(Level::Error, "",
                std::string("http: status endpoint ends on a failed poll: ") +
                    std::strerror(errno));
            break;
        }
        if (stopping_)
            break;
        now = Clock::now();
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection &connection = *connections[i];
            if (fds[kFirstConnectionSlot + i].revents != 0)
                Serve(connection);
            // The deadline ends whatever the client has not done by then.
            if (now >= connection.deadline)
                connection.phase = Connection::Phase::Done;
        }
        std::erase_if(connections, [](const auto &connection) {
            return connection->phase == Connection::Phase::Done;
        });
        if ((fds[kListenSlot].revents & POLLIN) != 0)
            Accept(connections);
    }
    // Every connection is closed here, whatever its client was doing.
}

void HttpServer::Accept(std::vector<std::unique_ptr<Connection>> &connections) {
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        std::optional<ClientAcceptor::Client> client =
            acceptor_.Next(listenFd_, config_.allow, refusals_);
        if (!client)
            return;
        const int fd = client->fd;
        const std::string &who = client->who;
        const auto now = Clock::now();
        // Beyond its rate a client makes no room: it is held while there is some, else closed.
        const bool held = !rate_.Admit(AddressOf(who), now);
        if (held)
            refusals_.Refused(who, "more than " +
                                       std::to_string(static_cast<int>(kConnectionRate.perSecond)) +
                                       " connections a second from its address");
        if (connections.size() >= kMaxConnections && (held || !MakeRoom(connections))) {
            close(fd);
            if (!held)
                refusals_.Refused(who,
                                  "already " + std::to_string(kMaxConnections) + " connections");
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = who;
        connection->heard = now;
        connection->phase = held ? Connection::Phase::Held : Connection::Phase::Reading;
        connection->deadline = now + (held ? kHoldTime : kRequestTime);
        connections.push_back(std::move(connection));
    }
}

bool HttpServer::MakeRoom(std::vector<std::unique_ptr<Connection>> &connections) {
    using Phase = Connection::Phase;
    const auto held = std::find_if(connections.begin(), connections.end(),
                                   [](const auto &c) { return c->phase == Phase::Held; });
    if (held != connections.end()) {
        connections.erase(held); // refused already
        return true;
    }
    auto quietest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if ((*it)->phase == Phase::Reading &&
            (quietest == connections.end() || (*it)->heard < (*quietest)->heard))
            quietest = it;
    }
    if (quietest == connections.end())
        return false;
    const Connection &gone = **quietest;
    const auto quiet =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone.heard);
    const std::string address = AddressOf(gone.peer);
    evictions_.Note(Level::Info, "", address,
                    "http: closed " + gone.peer + ": nothing sent for " +
                        std::to_string(quiet.count()) + " ms, to make room for a new connection",
                    {"http: closed", "idle connections of " + address + " to make room"});
    connections.erase(quietest);
    return true;
}

// What the connection's phase does with a socket that is ready: read the head (a piece at a
// time, never more than the head may hold), send the answer, drop what comes after it.
void HttpServer::Serve(Connection &connection) {
    using Phase = Connection::Phase;
    if (connection.phase == Phase::Held) { // only an error or a hang-up wakes a held one
        connection.phase = Phase::Done;
        return;
    }
    char buffer[kReadSize];
    for (size_t turn = 0; turn < kReadsPerTurn && connection.phase != Phase::Writing; ++turn) {
        const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            connection.phase = Phase::Done; // closed, or reset
            return;
        }
        connection.heard = Clock::now();
        if (connection.phase == Phase::Draining)
            continue;
        const auto state = connection.head.Take({buffer, static_cast<size_t>(n)});
        if (state == HttpHead::State::Incomplete)
            continue;
        connection.answer = state == HttpHead::State::Complete
                                ? routes_.Answer(connection.head.text(), HostOf(connection.peer),
                                                 PortOf(connection.peer))
                                : HttpRoutes::TooLarge();
        connection.head = HttpHead();
        connection.phase = Phase::Writing;
        connection.deadline = Clock::now() + kAnswerTime;
    }
    if (connection.phase != Phase::Writing)
        return;
    while (connection.sent < connection.answer.size()) {
        const ssize_t n = send(connection.fd, connection.answer.data() + connection.sent,
                               connection.answer.size() - connection.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            connection.phase = Phase::Done;
            return;
        }
        connection.sent += static_cast<size_t>(n);
    }
    shutdown(connection.fd, SHUT_WR);
    connection.answer = std::string();
    connection.phase = Phase::Draining;
    connection.deadline = Clock::now() + kDrainTime;
}

} // namespace vpisd::gateway
