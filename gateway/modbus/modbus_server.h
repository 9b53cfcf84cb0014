// The Modbus TCP front end: one thread, one poll loop over the listening socket, the clients,
// the workers' wake-up and the owner's stop. It never waits on a line: a request goes to its
// line's queue and its answer is sent when the line's worker hands the outcome back.
#pragma once

#include <modbus/modbus.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_mapping.h"
#include "gateway/modbus/statistics.h"

namespace vpisd::gateway {

class ModbusServer {
  public:
    ModbusServer(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers,
                 Statistics &statistics);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    // Opens the listening socket; false with the reason in `error`.
    bool Listen(std::string &error);
    // Serves, on a thread the owner starts, until Stop(); then sends the answers the workers
    // still give and returns once every worker has finished (the owner stops the workers).
    void Run();
    // From any thread: stop accepting and reading requests.
    void Stop();

  private:
    using Clock = std::chrono::steady_clock;

    struct Client {
        int fd = -1;
        std::string peer;
        Clock::time_point partialSince{}; // a frame begun but not complete yet
        bool partial = false;
    };
    struct Pending {
        uint64_t client = 0;
        std::vector<uint8_t> adu; // the request as received, for libmodbus to answer
        uint8_t unit = 0;
        ModbusPdu pdu;
        Clock::time_point received{};
    };
    struct Completion {
        uint64_t ticket = 0;
        LineReply reply;
    };

    void Accept();
    void ReadFrom(uint64_t id);
    void Serve(uint64_t id, const uint8_t *adu, int length);
    void Answer(uint64_t id, const uint8_t *adu, int length, uint8_t exception, uint8_t unit,
                Outcome outcome, Clock::time_point received);
    void SendReply(const Pending &pending, const LineReply &reply);
    void DeliverCompletions();
    void DropStalled();
    // Closes a client's connection; its requests on the lines are answered into the void.
    void Drop(uint64_t id, const std::string &why, Level level = Level::Notice);
    bool Reply(uint64_t id, const std::vector<uint8_t> &adu, modbus_mapping_t *mapping);

    const Config &config_;
    std::vector<std::unique_ptr<LineWorker>> &workers_;
    Statistics &statistics_;
    modbus_t *ctx_ = nullptr; // framing and answers; its socket is set per client
    int listenFd_ = -1;
    int wakeFd_ = -1; // eventfd: the workers' "an outcome is ready"
    int stopFd_ = -1; // eventfd: the owner's "stop"
    std::map<uint64_t, Client> clients_;
    uint64_t nextClient_ = 1;
    std::map<uint64_t, Pending> pending_;
    uint64_t nextTicket_ = 1;
    std::mutex completionsMutex_; // the only state the workers touch
    std::vector<Completion> completions_;
};

} // namespace vpisd::gateway
