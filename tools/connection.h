// Everything a command needs before its first tag: the loaded driver, the private working
// directory with the init file, the relay when one is wanted, and a started VPI.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "commands.h"
#include "host/driver_library.h"
#include "host/session.h"
#include "host/tcp_line.h"
#include "host/wire_relay.h"
#include "host/work_dir.h"
#include "host/init_check.h"

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
    // LoadDriver, then the init file, the port and the start. Returns an exit code; on failure
    // lastError() says why.
    int Open(const CommonOptions &options);
    // Parses a GAS for `count` values; on rejection prints why and returns false.
    bool ParseTag(const std::string &gas, int32_t count, TagLayout &layout);
    // One read or write; on failure prints the driver's reasons and puts them in `reason`.
    LineStatus Transfer(bool write, const std::string &gas, const TagLayout &layout,
                        std::span<uint16_t> values, std::string &reason);
    // After the device vanished: opens it again once it is back. True when the port is usable.
    bool ReopenIfGone();

    const DriverLibrary &library() const { return library_; }
    const DriverInfo &info() const { return info_; }
    const LineOptions &line() const { return line_; }
    const std::string &lastError() const { return lastError_; }

  private:
    void Complain(const std::string &text);
    // The driver's start messages about the init file, each with the file and line it names.
    void ShowInitFileEvents(const std::vector<std::string> &events);
    // What an unmatched prefix means with the init file (or without one).
    void ExplainUnknownPlc(const std::string &gas);

    DriverLibrary library_;
    DriverInfo info_{};
    LineOptions line_;
    LineOptions driverLine_;
    std::string driverPort_;
    std::string devicePath_;
    bool deviceGone_ = false;
    std::unique_ptr<WorkDir> workDir_;
    std::unique_ptr<TcpLine> tcp_; // --port tcp:HOST:PORT: the line behind a terminal server
    std::unique_ptr<WireRelay> relay_;
    std::unique_ptr<VpiSession> session_;
    int verbosity_ = 0;
    std::string initName_; // the init file as the user knows it; empty: none
    std::optional<InitCheck> initCheck_;
    std::vector<std::string> peerToPeerEvents_; // told again when a GAS is rejected
    std::string lastError_;
};

// The driver's events since the last call, shown on stderr unless -v already showed them;
// returns them summed up.
std::vector<std::string> ShowDriverEvents(int verbosity);

} // namespace vpisd::cli
