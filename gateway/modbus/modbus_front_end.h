// The Modbus TCP front end as the owner drives it: the server and the thread its loop runs on.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "gateway/front_end.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/modbus/statistics.h"

namespace vpisd::gateway {

class ModbusFrontEnd : public FrontEnd {
  public:
    // `ended`: called on the server's thread when its loop ends on its own (a failed poll),
    // not when Stop() ends it.
    ModbusFrontEnd(Statistics &statistics, std::function<void()> ended);
    ~ModbusFrontEnd() override;
    bool Start(const ServedLines &lines, std::string &error) override;
    void Prepare(const ReloadPlan &, const std::shared_ptr<const Config> &) override {}
    // The new units and gateway keys on the open connections (a new listen address moves
    // them); a new address that cannot be listened on is logged and the old one kept.
    void Apply(const ServedLines &lines) override;
    // Reads no more requests, sends the answers the lines still owe it, closes the clients.
    void Stop() override;
    // From any thread, for the status snapshot.
    const ModbusServer &server() const { return *server_; }

  private:
    Statistics &statistics_;
    const std::function<void()> ended_;
    std::unique_ptr<ModbusServer> server_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace vpisd::gateway
