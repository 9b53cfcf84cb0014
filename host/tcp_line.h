// A serial line reached over raw TCP (a terminal server, ser2net, socat), handed to the driver
// as a local pseudo-terminal. Bytes pass both ways unchanged. When the TCP side drops, the
// bridge connects again with a growing pause; until then what the driver sends is dropped, so
// the driver sees a silent line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "host/driver_pty.h"
#include "host/endpoint.h"

namespace vpisd::host {

class TcpLine {
  public:
    TcpLine() = default;
    ~TcpLine();
    TcpLine(const TcpLine &) = delete;
    TcpLine &operator=(const TcpLine &) = delete;

    // Told "connected to ..." and "lost ..." as they happen, on the bridge's thread.
    void OnEvent(std::function<void(const std::string &)> sink) { onEvent_ = std::move(sink); }
    // Creates the pseudo-terminal and starts bridging to HOST:PORT of `port` ("tcp:..."). The
    // first connection is made on the bridge's thread; false with the reason in `error` when
    // the name is malformed or no pseudo-terminal can be made.
    bool Start(std::string_view port, std::string &error);
    // Path of the pty end that the driver opens.
    const std::string &driverPath() const { return pty_.path(); }
    bool connected() const { return connected_; }
    // Waits up to `timeoutMs` for the TCP side to be up.
    bool WaitConnected(int timeoutMs) const;
    void Stop();

  private:
    void Run();
    int Connect();
    void Tell(const std::string &text) const;

    std::string host_;
    uint16_t port_ = 0;
    DriverPty pty_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::thread thread_;
    std::function<void(const std::string &)> onEvent_;
};

} // namespace vpisd::host
