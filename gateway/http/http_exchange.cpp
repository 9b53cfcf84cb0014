#include "gateway/http/http_exchange.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "gateway/http/metrics.h"
#include "gateway/http/status_json.h"
#include "gateway/http/status_page.h"

namespace vpisd::gateway {
namespace {

// A complete head as cpp-httplib reads a request, and the string its answer is written into.
class Exchange final : public httplib::Stream {
  public:
    Exchange(const std::string &head, std::string &answer, const std::string &peerIp, int peerPort)
        : head_(head), answer_(answer), peerIp_(peerIp), peerPort_(peerPort) {}

    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char *ptr, size_t size) override {
        const size_t n = std::min(size, head_.size() - taken_);
        std::memcpy(ptr, head_.data() + taken_, n);
        taken_ += n;
        return static_cast<ssize_t>(n);
    }
    using httplib::Stream::write;
    ssize_t write(const char *ptr, size_t size) override {
        answer_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        ip = peerIp_;
        port = peerPort_;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

  private:
    const std::string &head_;
    std::string &answer_;
    const std::string &peerIp_;
    const int peerPort_;
    size_t taken_ = 0;
};

// `head` without its Range header lines: cpp-httplib would answer a range it cannot parse with
// 416, and many ranges of one body with an answer many times its size. The whole body it is.
std::string WithoutRange(const std::string &head) {
    std::string kept;
    kept.reserve(head.size());
    for (size_t start = 0; start < head.size();) {
        const size_t end = std::min(head.find('\n', start), head.size() - 1) + 1;
        const std::string_view line(head.data() + start, end - start);
        constexpr std::string_view kRange = "range:";
        const bool range =
            line.size() >= kRange.size() &&
            std::equal(kRange.begin(), kRange.end(), line.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            });
        if (start == 0 || !range)
            kept.append(line);
        start = end;
    }
    return kept;
}

} // namespace

HttpHead::State HttpHead::Take(std::string_view bytes) {
    while (state_ == State::Incomplete && !bytes.empty()) {
        const std::string_view piece = bytes.substr(0, kHttpHeadBytes - text_.size());
        const size_t end = piece.find('\n');
        const size_t taken = end == std::string_view::npos ? piece.size() : end + 1;
        text_.append(piece.substr(0, taken));
        bytes.remove_prefix(taken);
        if (end == std::string_view::npos) {
            if (text_.size() == kHttpHeadBytes)
                state_ = State::TooLarge;
            continue;
        }
        // The empty line ends the head, also as a bare LF: such a head gets its answer (400, for
        // cpp-httplib takes no line without CR) at once rather than at its deadline.
        const size_t length = text_.size() - lineStart_;
        const bool empty = length == 1 || (length == 2 && text_[lineStart_] == '\r');
        if (empty && lines_ > 0)
            state_ = State::Complete;
        else if (++lines_ > kHttpHeaderLines + 1 || text_.size() == kHttpHeadBytes)
            state_ = State::TooLarge;
        lineStart_ = text_.size();
    }
    return state_;
}

// process_request is cpp-httplib's reading and answering of one request on a stream; here the
// stream is a head already read within the limits.
class HttpRoutes::Server final : public httplib::Server {
  public:
    std::string Answer(const std::string &head, const std::string &peerIp, int peerPort) {
        std::string answer;
        const std::string served = WithoutRange(head);
        Exchange exchange(served, answer, peerIp, peerPort);
        bool closed = false;
        process_request(exchange, true, closed, nullptr);
        return answer;
    }
};

HttpRoutes::HttpRoutes(std::function<GatewayStatus()> status)
    : server_(std::make_unique<Server>()) {
    server_->set_pre_routing_handler(
        [](const httplib::Request &request, httplib::Response &answer) {
            if (request.method == "GET" || request.method == "HEAD")
                return httplib::Server::HandlerResponse::Unhandled;
            answer.status = 405;
            answer.set_header("Allow", "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;
        });
    server_->set_error_handler([](const httplib::Request &, httplib::Response &answer) {
        if (answer.status == 405)
            answer.set_content("method not allowed: GET or HEAD\n", "text/plain; charset=utf-8");
        else if (answer.status == 404)
            answer.set_content("not found: /, /status.json or /metrics\n",
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

HttpRoutes::~HttpRoutes() = default;

std::string HttpRoutes::Answer(const std::string &head, const std::string &peerIp, int peerPort) {
    return server_->Answer(head, peerIp, peerPort);
}

std::string HttpRoutes::TooLarge() {
    const std::string body = "request head too large: at most " + std::to_string(kHttpHeaderLines) +
                             " header lines and " + std::to_string(kHttpHeadBytes) + " bytes\n";
    return "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
           "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace vpisd::gateway
