// Everything a command needs before its first tag: the loaded driver, the private working
// directory with the init file, the relay when one is wanted, and a started VPI.
#pragma once

#include <memory>
#include <string>

#include "commands.h"
#include "host/driver_library.h"
#include "host/session.h"
#include "host/tcp_line.h"
#include "host/wire_relay.h"
#include "host/work_dir.h"

namespace vpisd::cli {

using namespace vpisd::host;

class Connection {
  public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Loads the driver only (enough for describe). Returns an exit code.
    int LoadDriver(const CommonOptions &options);
    // LoadDriver, then the init file, the port and the start. Returns an exit code.
    int Open(const CommonOptions &options);
    // Parses a GAS for `count` values; on rejection prints why and returns false.
    bool ParseTag(const std::string &gas, int32_t count, TagLayout &layout);

    VpiSession &session() { return *session_; }
    // With --trace: lets the trace of the last exchange finish before its result is printed.
    void SettleTrace();
    const DriverLibrary &library() const { return library_; }
    const DriverInfo &info() const { return info_; }
    const LineOptions &line() const { return line_; }

  private:
    DriverLibrary library_;
    DriverInfo info_{};
    LineOptions line_;
    std::unique_ptr<WorkDir> workDir_;
    std::unique_ptr<TcpLine> tcp_; // --port tcp:HOST:PORT: the line behind a terminal server
    std::unique_ptr<WireRelay> relay_;
    std::unique_ptr<VpiSession> session_;
    int verbosity_ = 0;
    std::vector<std::string> startEvents_; // the init file's story, told when a GAS is rejected
};

// The driver's events since the last call, shown on stderr unless -v already showed them.
void ShowDriverEvents(int verbosity);
// After a failure its events are shown as above; after a success they are dropped.
void ReportDriverEvents(TagStatus status, int verbosity);

} // namespace vpisd::cli
