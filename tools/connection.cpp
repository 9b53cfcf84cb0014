#include "connection.h"

#include <cstdio>

#include "exit_codes.h"
#include "host/host_log.h"
#include "host/port_name.h"

namespace vpisd::cli {

using namespace vpisd::host;
namespace {

constexpr int32_t kLargestSensibleContext = 1 << 20;
constexpr uint32_t kDriverBaudMax = 65535; // the driver keeps the rate in 16 bits
constexpr uint16_t kRelayedBaud = 9600;    // any rate does on the pseudo-terminal
constexpr int kTcpConnectMs = 5000;

void Complain(const std::string &text) {
    std::fprintf(stderr, "vpisd-cli: %s\n", text.c_str());
}

} // namespace

void ShowDriverEvents(int verbosity) {
    const auto events = TakeRecentEvents();
    if (verbosity > 0)
        return;
    for (const auto &line : SummarizeEvents(events)) {
        std::fprintf(stderr, "  driver: %s\n", line.c_str());
    }
}

void ReportDriverEvents(TagStatus status, int verbosity) {
    if (status == TagStatus::Ok) {
        TakeRecentEvents();
    } else {
        ShowDriverEvents(verbosity);
    }
}

Connection::~Connection() {
    // Order matters: the VPI closes its port before the relay stops and before the
    // working directory goes away.
    session_.reset();
    if (relay_)
        relay_->Stop();
    relay_.reset();
    tcp_.reset();
    workDir_.reset();
}

int Connection::LoadDriver(const CommonOptions &options) {
    verbosity_ = options.verbosity;
    SetLogVerbosity(options.verbosity);
    std::string error;
    if (!library_.Load(LibraryCandidates(options.library), error)) {
        Complain(error);
        return kExitLibraryFailure;
    }
    session_ = std::make_unique<VpiSession>(library_);
    info_ = session_->Describe();
    if (info_.contextSize <= 0 || info_.contextSize > kLargestSensibleContext) {
        Complain(library_.path() + ": describe reports an instance size of " +
                 std::to_string(info_.contextSize) + " bytes");
        return kExitLibraryFailure;
    }
    return kExitOk;
}

int Connection::Open(const CommonOptions &options) {
    if (const int code = LoadDriver(options); code != kExitOk)
        return code;
    line_ = options.line;
    line_.baudRate = options.baudRate.value_or(info_.baudRate);
    line_.dataBits = options.dataBits.value_or(info_.dataBits);
    line_.stopBits = options.stopBits.value_or(info_.stopBits);
    line_.parity = options.parity.value_or(info_.parity);
    if (line_.port.empty()) {
        Complain("no port: give one with --port (a device such as ttyS0 or /dev/pts/3)");
        return kExitUsage;
    }

    workDir_ = std::make_unique<WorkDir>();
    std::string error;
    if (!workDir_->Prepare(options.init, line_.vpiNumber, error)) {
        Complain(error);
        return kExitUsage;
    }

    std::string device = line_.port;
    if (IsTcpPort(line_.port)) {
        tcp_ = std::make_unique<TcpLine>();
        if (!tcp_->Start(line_.port, error)) {
            Complain(error);
            return kExitUsage;
        }
        if (!tcp_->WaitConnected(kTcpConnectMs)) {
            Complain("cannot open the port: " + line_.port + " does not answer");
            return kExitPortFailure;
        }
        device = tcp_->driverPath();
    }
    std::optional<std::string> driverPort = DriverPortName(device);
    const bool relayed = options.trace || !driverPort || line_.baudRate > kDriverBaudMax;
    LineOptions driverLine = line_;
    if (relayed) {
        if (line_.port == "NUL") {
            Complain("the port NUL has no line to relay or trace");
            return kExitUsage;
        }
        relay_ = std::make_unique<WireRelay>();
        if (!relay_->Start(DevicePath(device), line_, options.trace, error)) {
            Complain("cannot open the port: " + error);
            return kExitPortFailure;
        }
        driverPort = DriverPortName(relay_->driverPath());
        if (!driverPort) {
            Complain("pseudo-terminal name " + relay_->driverPath() +
                     " is too long for the driver");
            return kExitPortFailure;
        }
        if (driverLine.baudRate > kDriverBaudMax)
            driverLine.baudRate = kRelayedBaud;
    }
    if (session_->Start(*driverPort, driverLine, info_.contextSize) != 0) {
        Complain("cannot open the port " + line_.port);
        ShowDriverEvents(verbosity_);
        return kExitPortFailure;
    }
    startEvents_ = TakeRecentEvents();
    if (verbosity_ > 0) {
        const std::string routes = workDir_->initSource().empty()
                                       ? "no init file: peer to peer, tags begin with 00"
                                       : "routes from " + workDir_->initSource();
        Complain("VPI " + std::to_string(line_.vpiNumber) + " started on " + line_.port +
                 (relayed ? " (relayed through " + relay_->driverPath() + ")" : "") + "; " +
                 routes);
    }
    return kExitOk;
}

void Connection::SettleTrace() {
    if (relay_)
        relay_->Settle();
}

bool Connection::ParseTag(const std::string &gas, int32_t count, TagLayout &layout) {
    if (session_->Parse(gas, count, layout) == 0) {
        TakeRecentEvents();
        return true;
    }
    Complain(gas + ": the driver rejects this GAS" +
             (count > 1 ? " for " + std::to_string(count) + " values" : std::string()));
    std::vector<std::string> events = TakeRecentEvents();
    if (!events.empty())
        events.insert(events.begin(), startEvents_.begin(), startEvents_.end());
    if (events.empty()) {
        Complain("  forms: PPrrrr register, PPrrrrF 32-bit pair (odd r), PPrrrrbb bit 01..16, "
                 "PP!ROUTE; blocks only for the first two (see --help)");
    } else if (verbosity_ == 0) {
        for (const auto &line : SummarizeEvents(events)) {
            std::fprintf(stderr, "  driver: %s\n", line.c_str());
        }
    }
    return false;
}

} // namespace vpisd::cli
