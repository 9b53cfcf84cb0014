// The HTTP status endpoint: GET /metrics (Prometheus), /status.json and / (a status page for a
// person). One thread of its own owns every socket: it accepts, reads each request head within
// its limits and its deadline, answers it from one status snapshot taken through the function
// the owner hands in, and closes. The server never touches a worker or a front end, never
// holds up the Modbus loop or a line, and no client can hold up its stop. A client outside
// `allow` is closed at accept; one beyond its address's connection rate is held unread for a
// moment, then closed; at kMaxConnections the connection that has sent nothing for longest
// gives way to the new one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "gateway/client_acceptor.h"
#include "gateway/config/config.h"
#include "gateway/front_end.h"
#include "gateway/http/http_exchange.h"
#include "gateway/limited_log.h"
#include "gateway/refusal_log.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class HttpServer : public FrontEnd {
  public:
    // Connections served at once; one more closes the one still reading its head that has
    // sent nothing for longest, or is itself closed when every one is being answered.
    static constexpr size_t kMaxConnections = 64;
    // Connections one address may open: a burst, then so many a second. A scraper or a browser
    // needs a few a minute. One beyond the rate is held unread for kHoldTime, then closed: a
    // client reconnecting in a loop waits that long for each try rather than spinning.
    static constexpr AddressRate::Limit kConnectionRate{10, 20};
    static constexpr auto kHoldTime = std::chrono::seconds(1);
    // From its accept, a connection has kRequestTime to send its whole request head and then
    // kAnswerTime to take the answer; after it, what the client still sends is read and dropped
    // for kDrainTime so that the answer reaches it before the close.
    static constexpr auto kRequestTime = std::chrono::seconds(5);
    static constexpr auto kAnswerTime = std::chrono::seconds(10);
    static constexpr auto kDrainTime = std::chrono::seconds(1);

    HttpServer(const HttpConfig &config, std::function<GatewayStatus()> status);
    ~HttpServer() override;
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Opens the listening socket and serves on a thread of its own until Stop(); false with the
    // reason in `error`. The lines are read only through the status function, at each request:
    // a reload has nothing to hand over (Prepare and Apply do nothing).
    bool Start(const ServedLines &lines, std::string &error) override;
    void Prepare(const ReloadPlan &, const std::shared_ptr<const Config> &) override {}
    void Apply(const ServedLines &) override {}
    // From any thread: ends the thread at once, closing every connection, whatever its client
    // is doing, and the listening socket; waits at most for an answer being made from a
    // snapshot. The port is free again when it returns.
    void Stop() override;
    // Now and then: logs how many clients were refused at accept, or closed to make room, in a
    // minute that is over.
    void Tick();

  private:
    struct Connection;
    bool Listen(std::string &error);
    void Run();
    void Accept(std::vector<std::unique_ptr<Connection>> &connections);
    // At kMaxConnections: closes a held connection, or else the one still reading its head that
    // was heard from longest ago; false when every connection is past its head.
    bool MakeRoom(std::vector<std::unique_ptr<Connection>> &connections);
    void Serve(Connection &connection);

    const HttpConfig config_;
    HttpRoutes routes_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    // Out of descriptors, the listening socket rests for a moment.
    ClientAcceptor acceptor_{"http: ", std::chrono::milliseconds(200)};
    AddressRate rate_{kConnectionRate};
    RefusalLog refusals_{Level::Info, "http: "};
    LimitedLog evictions_{{"http: closed", "idle connections of other addresses to make room"}};
    std::thread thread_;
};

} // namespace vpisd::gateway
