// The HTTP status endpoint: GET /metrics (Prometheus), /status.json and / (a status page for a
// person), on cpp-httplib's own threads. Each answer is made from one status snapshot taken
// through the function the owner hands in, so the server never touches a worker or a front end
// and never holds up the Modbus loop or a line. A client outside `allow` is closed at accept.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "gateway/config/config.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class HttpServer {
  public:
    HttpServer(const HttpConfig &config, std::function<GatewayStatus()> status);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Opens the listening socket; false with the reason in `error`.
    bool Listen(std::string &error);
    // Serves on a thread of its own until Stop().
    void Start();
    // From any thread: closes the listening socket and waits for the answers in progress.
    void Stop();
    // Now and then: logs how many clients were refused at accept in a minute that is over.
    void Tick();

  private:
    class Server; // cpp-httplib's server with the allow-list at accept

    const HttpConfig config_;
    std::unique_ptr<Server> server_;
    std::thread thread_;
};

} // namespace vpisd::gateway
