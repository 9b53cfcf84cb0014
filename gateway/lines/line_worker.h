// One serial line: a thread that owns the line's VPI and runs the jobs its scheduler picks one
// transaction at a time (the driver serves one command per VPI at a time). When the line's
// device disappears, is replaced behind its path or hangs up, the worker answers every job with
// LineDown and opens the device again with a growing pause.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/limited_log.h"
#include "gateway/lines/device_watch.h"
#include "gateway/lines/line_activity.h"
#include "gateway/lines/line_counters.h"
#include "gateway/lines/line_queue.h"
#include "gateway/lines/line_scheduler.h"
#include "gateway/lines/line_service.h"
#include "gateway/lines/plc_health.h"
#include "gateway/status.h"
#include "host/driver_library.h"
#include "host/line_options.h"
#include "host/session.h"
#include "host/tcp_line.h"

namespace vpisd::gateway {

class LineWorker : public LineService {
  public:
    // `info`: the driver's description (its default line settings and instance size).
    // `initText`: the line's init file as the configuration's check read it (empty for none).
    LineWorker(const host::DriverLibrary &library, const DriverInfo &info, const LineConfig &config,
               const std::string &initText);
    ~LineWorker() override;
    LineWorker(const LineWorker &) = delete;
    LineWorker &operator=(const LineWorker &) = delete;

    // Starts the thread, which starts the VPI. The process's current directory must hold the
    // line's init file under its VPI number, as `initText` has it. `after`: the workers this one
    // replaces (a reload); the thread opens the line only once they have closed theirs, so that the
    // caller never waits for their transactions.
    void Start(std::vector<std::shared_future<void>> after = {});
    // Ready once the worker has closed its VPI (finished() is true).
    std::shared_future<void> Closed() const { return closed_; }
    Queued Submit(LineRequest &request) override { return queue_.Push(request, scheduler_); }
    // Lets the job in progress finish, cancels the waiting ones, closes the VPI; returns at
    // once. finished() turns true when all of that is done.
    void BeginStop() { queue_.Close(); }
    bool finished() const { return finished_; }
    void Join();

    const std::string &name() const override { return config_.name; }
    // After a reload: the line's PLCs as its units now ask (any thread).
    void SetPolicies(std::vector<PlcPolicy> policies) {
        scheduler_.SetPolicies(std::move(policies));
    }
    // The line's device is open. Read from any thread.
    bool up() const { return up_; }
    // True once the thread has tried to open the line the first time.
    bool started() const { return started_; }
    // False when the thread has been inside one step (a wait, a driver call) longer than any
    // step can take: the worker is stuck. Read from any thread.
    bool Alive(std::chrono::steady_clock::time_point now) const;
    // The longest one step can take: the worst transaction of the line's timeout, or the
    // longest pause between two opens, plus slack.
    std::chrono::milliseconds LongestStep() const;
    // Read from any thread.
    const LineCounters &counters() const { return counters_; }
    WorkerStatus Status() const override;
    const PlcHealth &health() const override { return health_; }
    const LineActivity &activity() const { return activity_; }

  private:
    using Clock = std::chrono::steady_clock;

    void Run();
    bool OpenLine();
    void Beat() { heartbeat_ = std::chrono::steady_clock::now().time_since_epoch().count(); }
    // The line's device is there to be opened (its path exists, its terminal server is
    // connected).
    bool DevicePresent() const;
    // Why the open line is lost, or empty while it is not.
    std::optional<std::string> LostCause() const;
    void TryOpen();
    // The line's state changes only here: Up; Reopening, the open line lost for `cause`; Down,
    // the first open failed for `cause`, or the worker stops (no cause).
    void Enter(LineState state, const std::string &cause = {});
    void Answer(LineRequest &request, LineReply &&reply, AnsweredBy by);
    void ServeJob(LineRequest &job);
    void ServeReads(Batch &batch);
    void ReadEach(std::vector<LineRequest> &jobs);
    LineStatus LineStatusAfter(LineStatus status);
    LineReply Execute(const LineRequest &request);
    LineStatus ReadBlock(const std::string &plc, uint16_t first, uint16_t count,
                         std::vector<uint16_t> &out);
    LineStatus Write(const std::string &plc, const std::string &gas, const host::TagLayout &layout,
                     std::span<uint16_t> buffer);
    LineStatus WriteRegisters(const LineRequest &request);
    LineStatus WriteBits(const LineRequest &request);
    LineStatus ReadRoute(const LineRequest &request, std::vector<uint16_t> &out);
    void NoteRoute(const std::string &plc);
    bool OnBackupRoute(const std::string &plc) const;
    // After a transaction with `plc` that put traffic on the line (`what`: "a read of P10100"):
    // its status and what its tries met.
    void NoteOutcome(const std::string &plc, bool onBackup, LineStatus status,
                     const host::Tries &tries, const std::string &what, Clock::time_point began);

    const host::DriverLibrary &library_;
    const DriverInfo info_;
    const LineConfig config_;
    host::LineOptions line_;
    std::string devicePath_; // what disappears when a USB adapter is unplugged
    DeviceWatch watch_;      // the device the open VPI holds
    PlcHealth health_;
    LineActivity activity_;
    LineQueue queue_;
    LineScheduler scheduler_;
    LineCounters counters_;
    LimitedLog lateLog_{{"late replies:", "from other PLCs"}}; // by PLC
    std::unique_ptr<host::VpiSession> session_;
    std::unique_ptr<host::TcpLine> tcp_;
    std::string driverPort_;
    std::atomic<std::chrono::steady_clock::rep> heartbeat_{0};
    std::string openProblem_; // the cause last logged for a failed open: logged once per cause
    // The line's state: written by Enter alone (TryOpen lengthens the pause between opens).
    std::atomic<bool> up_{false};
    std::atomic<bool> started_{false};
    std::chrono::milliseconds pause_{};
    std::chrono::steady_clock::time_point nextOpen_{};
    std::atomic<bool> launched_{false};
    std::atomic<bool> finished_{false};
    std::promise<void> closing_;
    std::shared_future<void> closed_ = closing_.get_future().share();
    std::vector<std::shared_future<void>> after_; // the workers this one replaces
    mutable std::mutex statusMutex_;              // what Status() reads from other threads
    LineState state_ = LineState::Down;           // with the last error: written by Enter alone
    std::optional<std::string> lastError_;
    WallClock::time_point lastErrorAt_{};
    std::map<std::string, bool> backupRoutes_; // by PLC
    std::thread thread_;
    std::thread answerer_; // hands out the answers given on arrival
};

} // namespace vpisd::gateway
