#include "gateway/http/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "gateway/config/allow_list.h"
#include "gateway/http/metrics.h"
#include "gateway/http/status_json.h"
#include "gateway/http/status_page.h"
#include "gateway/log.h"
#include "gateway/refusal_log.h"

namespace vpisd::gateway {
namespace {

constexpr size_t kThreads = 2;         // a scraper and a browser or two; each answer is quick
constexpr int kSocketTimeoutMs = 5000; // a client that sends or reads nothing for this long

// One accepted connection as cpp-httplib reads and writes it: every wait bounded.
class SocketStream final : public httplib::Stream {
  public:
    explicit SocketStream(int fd) : fd_(fd) {}

    bool is_readable() const override { return Wait(POLLIN); }
    bool is_writable() const override { return Wait(POLLOUT); }
    ssize_t read(char *ptr, size_t size) override {
        return Wait(POLLIN) ? recv(fd_, ptr, size, 0) : -1;
    }
    using httplib::Stream::write;
    ssize_t write(const char *ptr, size_t size) override {
        return Wait(POLLOUT) ? send(fd_, ptr, size, MSG_NOSIGNAL) : -1;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    bool Wait(short events) const {
        pollfd p{fd_, events, 0};
        int n = 0;
        do
            n = poll(&p, 1, kSocketTimeoutMs);
        while (n < 0 && errno == EINTR);
        return n == 1 && (p.revents & (events | POLLHUP)) != 0;
    }
    template <typename Name> void Address(Name name, std::string &ip, int &port) const {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (name(fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        if (address.ss_family == AF_INET) {
            const auto &in = reinterpret_cast<const sockaddr_in &>(address);
            inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            port = ntohs(in.sin_port);
        } else if (address.ss_family == AF_INET6) {
            const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
            inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
            port = ntohs(in6.sin6_port);
        }
        ip = text;
    }

    int fd_;
};

} // namespace

// cpp-httplib's request hooks all run after the request has been read; the allow-list is
// applied before that, where each accepted socket is handed to a thread. One request per
// connection: the status page asks every 2 s, a scraper far less often.
class HttpServer::Server final : public httplib::Server {
  public:
    explicit Server(const std::vector<AddressBlock> &allow) : allow_(allow) {}
    RefusalLog &refusals() { return refusals_; }

  private:
    bool process_and_close_socket(socket_t fd) override {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0 ||
            !Allowed(allow_, peer)) {
            refusals_.Refused(PeerText(peer), "not in the allow-list");
            close(fd);
            return false;
        }
        SocketStream stream(fd);
        bool closed = false;
        const bool served = process_request(stream, true, closed, nullptr);
        shutdown(fd, SHUT_RDWR);
        close(fd);
        return served;
    }

    const std::vector<AddressBlock> allow_;
    RefusalLog refusals_{Level::Info, "http: "};
};

HttpServer::HttpServer(const HttpConfig &config, std::function<GatewayStatus()> status)
    : config_(config), server_(std::make_unique<Server>(config.allow)) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server_->set_pre_routing_handler(
        [](const httplib::Request &request, httplib::Response &answer) {
            if (request.method == "GET" || request.method == "HEAD")
                return httplib::Server::HandlerResponse::Unhandled;
            answer.status = 405;
            answer.set_header("Allow", "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;
        });
    server_->set_error_handler([](const httplib::Request &, httplib::Response &answer) {
        answer.set_content(answer.status == 405 ? "method not allowed: GET or HEAD\n"
                                                : "not found: /, /status.json or /metrics\n",
                           "text/plain; charset=utf-8");
    });
    server_->Get("/metrics", [status](const httplib::Request &, httplib::Response &answer) {
        answer.set_content(FormatMetrics(status()), kMetricsContentType);
    });
    server_->Get("/status.json", [status](const httplib::Request &, httplib::Response &answer) {
        answer.set_header("Cache-Control", "no-store");
        answer.set_content(StatusJson(status()), "application/json");
    });
    server_->Get("/", [](const httplib::Request &, httplib::Response &answer) {
        answer.set_content(kStatusPage, "text/html; charset=utf-8");
    });
}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Listen(std::string &error) {
    const bool v6 = config_.listenHost.find(':') != std::string::npos;
    const std::string where = (v6 ? "[" + config_.listenHost + "]" : config_.listenHost) + ":";
    errno = 0;
    int port = config_.listenPort;
    if (port == 0)
        port = server_->bind_to_any_port(config_.listenHost);
    else if (!server_->bind_to_port(config_.listenHost, port))
        port = -1;
    if (port <= 0) {
        error = "cannot listen for HTTP on " + where + std::to_string(config_.listenPort) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        return false;
    }
    Log(Level::Notice, "", "status endpoint on http://" + where + std::to_string(port) + "/");
    return true;
}

void HttpServer::Start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Stop() only reaches a server that has begun to listen.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpServer::Stop() {
    if (!thread_.joinable())
        return;
    server_->stop();
    thread_.join();
    server_->refusals().Flush(true);
}

void HttpServer::Tick() {
    server_->refusals().Flush(false);
}

} // namespace vpisd::gateway
