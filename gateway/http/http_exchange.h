// One exchange of the HTTP status endpoint apart from its socket: the request head taken in
// bounded pieces, and the answer that cpp-httplib's request and response types make of a
// complete head. The server's loop owns the sockets and the deadlines; the fuzz target drives
// this part alone.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "gateway/status.h"

namespace vpisd::gateway {

// What a request head may hold: the request line, at most kHttpHeaderLines header lines and
// the empty line, kHttpHeadBytes in all. GET and HEAD of three paths need a few hundred.
constexpr size_t kHttpHeadBytes = 8192;
constexpr size_t kHttpHeaderLines = 100;

class HttpHead {
  public:
    enum class State { Incomplete, Complete, TooLarge };

    // Takes the next bytes from the client, a line end at a time rather than a byte. What
    // follows the head is left out (a GET has no body, and one answer ends the connection), and
    // nothing beyond kHttpHeadBytes is ever kept.
    State Take(std::string_view bytes);
    State state() const { return state_; }
    // The head up to and with its empty line once Complete; what came so far before.
    const std::string &text() const { return text_; }

  private:
    std::string text_;
    size_t lineStart_ = 0; // where the line being read begins in text_
    size_t lines_ = 0;     // lines ended so far, the request line first
    State state_ = State::Incomplete;
};

// GET or HEAD of /metrics, /status.json and / on cpp-httplib's routing; 405 for any other
// method, 404 for any other path. One snapshot from `status` per answer.
class HttpRoutes {
  public:
    explicit HttpRoutes(std::function<GatewayStatus()> status);
    ~HttpRoutes();
    HttpRoutes(const HttpRoutes &) = delete;
    HttpRoutes &operator=(const HttpRoutes &) = delete;

    // The whole answer to a complete head (status line, headers, body), "Connection: close".
    // Range headers are ignored: the whole body or nothing.
    std::string Answer(const std::string &head, const std::string &peerIp, int peerPort);
    // The answer to a head beyond the limits: 431.
    static std::string TooLarge();

  private:
    class Server;
    std::unique_ptr<Server> server_;
};

} // namespace vpisd::gateway
