// The Modbus TCP front end: one thread, one poll loop over the listening socket, the clients
// and two eventfds (the workers' "an outcome is ready", the owner's "stop"). It never waits on
// a line: a request goes to its line's queue and its answer is sent when the line's worker
// hands the outcome back. Every socket is waited on with poll, whatever its number.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>

#include "gateway/client_acceptor.h"
#include "gateway/config/config.h"
#include "gateway/limited_log.h"
#include "gateway/lines/line_worker.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_frame.h"
#include "gateway/modbus/modbus_mapping.h"
#include "gateway/modbus/statistics.h"
#include "gateway/refusal_log.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class ModbusServer {
  public:
    // `workers[i]` serves `config->lines[i]`.
    ModbusServer(std::shared_ptr<const Config> config, std::vector<LineWorker *> workers,
                 Statistics &statistics);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    // Opens the listening socket; false with the reason in `error`.
    bool Listen(std::string &error);
    // The event loop, on a thread the front end starts; returns after Stop() once every request
    // it passed on a line is answered (or that line's worker has finished) and the answers are
    // sent.
    void Run();
    // From any thread: stop accepting and reading requests. The workers are not the server's
    // to stop: the owner stops them.
    void Stop();
    // From the owner's thread while Run() runs: the server takes a new configuration and the
    // workers of its lines at its next turn, and Apply returns once it has. The connections stay
    // open, but a client no longer allowed is closed, and all of them when `listen` changed.
    // Requests already on a line are answered as usual. `error`: a new address that cannot be
    // listened on (the old socket is kept).
    void Apply(std::shared_ptr<const Config> config, std::vector<LineWorker *> workers,
               std::string &error);
    // Clients connected now; from any thread.
    size_t clientCount() const { return clientCount_; }
    // From any thread: the clients connected now, in the order they came.
    std::vector<ModbusClientSnapshot> Clients() const;

  private:
    using Clock = std::chrono::steady_clock;

    // One client's whole state. The server's thread alone changes it; Clients() reads `peer`,
    // `since` and `requests` from any thread, under clientsMutex_, which the server's thread
    // holds whenever it adds or removes a connection.
    struct Connection {
        int fd = -1;
        std::string peer;    // "address:port", for the log
        std::string address; // refusals are counted per address
        WallClock::time_point since{};
        std::atomic<uint64_t> requests{0};
        FrameReader reader;
        Clock::time_point lastRequest{};  // or the connect: what the idle timeout counts from
        Clock::time_point partialSince{}; // when the frame not complete yet began to come
        // The answers owed, in the order of the requests: one whose request is on a line has its
        // ticket and no bytes yet, and the answers behind it wait until it has gone out.
        struct Owed {
            uint64_t ticket = 0; // 0: answered
            std::vector<uint8_t> bytes;
        };
        std::deque<Owed> owed;
        bool readShut = false; // the peer half-closed: answer what is in flight, then close
    };
    struct Pending {
        uint64_t connection = 0;
        RequestHead head;
        Clock::time_point received{};
    };
    struct Completion {
        uint64_t ticket = 0;
        LineReply reply;
    };
    // The answers the workers hand back, and the eventfd that wakes the loop for them: shared
    // with every job in flight, so that a job the server no longer waits for (it was stopped
    // and destroyed by a reload) completes into it harmlessly. Closed with the last holder.
    struct Completions {
        Completions();
        ~Completions();
        Completions(const Completions &) = delete;
        Completions &operator=(const Completions &) = delete;
        std::mutex mutex; // the only state the workers touch
        std::vector<Completion> ready;
        const int wakeFd; // eventfd: "an outcome is ready"
    };

    void BeginStopping();
    bool OpenListener(const ServerConfig &server, int &fd, std::string &error) const;
    void TakeApplied();
    int PollTimeoutMs(Clock::time_point now) const;
    void Accept();
    bool MakeRoom();
    void ReadFrom(uint64_t id);
    void Serve(uint64_t id, Connection &connection);
    void AnswerAtOnce(uint64_t id, Connection &connection, const RequestHead &head,
                      uint8_t exception, Outcome outcome, Clock::time_point received);
    void DeliverCompletions();
    // Sends the answers at the head of the connection's owed ones that are ready.
    void SendOwed(uint64_t id);
    static bool PeerGone(int fd);
    void ReapGone();
    void Housekeeping(Clock::time_point now);
    // Closes a client's connection; its requests on the lines are answered into the void.
    void Drop(uint64_t id, const std::string &why, Level level = Level::Notice);

    std::shared_ptr<const Config> config_;
    std::vector<LineWorker *> workers_;
    Statistics &statistics_;
    int listenFd_ = -1;
    int stopFd_ = -1;  // eventfd: Stop()
    int applyFd_ = -1; // eventfd: Apply()
    struct Applied {
        std::shared_ptr<const Config> config;
        std::vector<LineWorker *> workers;
        std::string error;
        bool taken = false;
    };
    std::mutex applyMutex_;
    std::condition_variable applyTaken_;
    std::optional<Applied> applied_;
    std::atomic<size_t> clientCount_{0};
    std::atomic<bool> ended_{false};
    bool stopping_ = false;
    // Out of descriptors, the listening socket rests a second, then accepting is tried again.
    ClientAcceptor acceptor_{"", std::chrono::seconds(1)};
    mutable std::mutex clientsMutex_; // held to add or remove a connection, and by Clients()
    std::map<uint64_t, Connection> connections_;
    uint64_t nextConnection_ = 1;
    std::map<uint64_t, Pending> pending_;
    uint64_t nextTicket_ = 1;
    RefusalLog refusals_{Level::Warning, ""};
    LimitedLog busyLog_{{"queue full:", "for other units answered busy (06)"}};
    LimitedLog dropLog_{{"connections closed:", "from other addresses"}};
    std::vector<pollfd> pollSet_;  // rebuilt each turn, kept to save the allocation
    std::vector<uint64_t> polled_; // the connection of each slot from kFirstConnectionSlot on
    const std::shared_ptr<Completions> completions_ = std::make_shared<Completions>();
};

} // namespace vpisd::gateway
