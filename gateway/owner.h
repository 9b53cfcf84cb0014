// The process once it runs: the line workers, the front ends, the signals, the reloads, the
// statistics and the stop, in that order of concern.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config_check.h"
#include "gateway/front_end.h"
#include "gateway/gateway_options.h"
#include "gateway/line_workers.h"
#include "gateway/modbus/statistics.h"
#include "gateway/status.h"
#include "gateway/watchdog.h"
#include "host/work_dir.h"

namespace vpisd::gateway {

// A descriptor closed with its owner.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

enum class FaceKind : uint8_t { Modbus, Mqtt, Sparkplug, Http };

class Owner {
  public:
    // `workDir`: the process's current directory, holding `checked`'s init files.
    Owner(const GatewayOptions &options, const host::DriverLibrary &library, const DriverInfo &info,
          const host::WorkDir &workDir, CheckedConfig checked);
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    // Serves until a signal to stop, or until the Modbus front end ends on its own; the exit
    // status.
    int Run(int signalFd);

  private:
    // One front end, whatever its kind; null when it does not run.
    struct Face {
        FaceKind kind;
        std::unique_ptr<FrontEnd> running;
        // Why a configured face is not running: it could not start at the latest reload (the
        // next one tries again). Under mutex_: status.json shows such a face as not connected.
        std::optional<std::string> down;
    };

    void Serve(int signalFd);
    ServedLines Served() const { return {checked_.config, lines_.Workers(), lines_.Pollers()}; }
    std::unique_ptr<FrontEnd> Make(FaceKind kind);
    // Starts a new face of its kind on the lines of checked_; one that fails to start is
    // stopped and dropped.
    bool StartFace(Face &face, std::string &error);
    void BeforeWorkers(Face &face, const ReloadPlan &plan, const CheckedConfig &next);
    void AfterWorkers(Face &face, const ReloadPlan &plan);
    template <typename T> T *Running(FaceKind kind) const {
        return static_cast<T *>(faces_[static_cast<size_t>(kind)].running.get());
    }
    void WaitFirstOpen() const;
    void Reload();
    void StopEverything();
    GatewayStatus Status() const;
    void Tick();
    std::string StatusLine() const;
    void ReportStatistics() const;

    const GatewayOptions &options_;
    const host::DriverLibrary &library_;
    const DriverInfo info_;
    const host::WorkDir &workDir_;
    // The configuration served and the init files its lines loaded. Changes with the workers.
    CheckedConfig checked_;
    // Held while the workers, the configuration or a front end change, and while the HTTP
    // server's thread takes the status snapshot from them.
    mutable std::mutex mutex_;
    LineWorkers lines_;
    Statistics statistics_;
    FileDescriptor endedFd_;    // the Modbus front end ended on its own
    std::vector<Face> faces_;   // one of each kind, in FaceKind's order
    bool modbusServed_ = false; // a Modbus front end ran: its statistics are reported
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::string status_; // the STATUS= last sent
    Watchdog watchdog_;
};

} // namespace vpisd::gateway
