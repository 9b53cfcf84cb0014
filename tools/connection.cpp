#include "connection.h"

#include <algorithm>
#include <cstdio>
#include <regex>

#include "exit_codes.h"
#include "host/file_text.h"
#include "host/host_log.h"
#include "host/init_file_messages.h"
#include "host/port_check.h"
#include "host/port_name.h"

namespace vpisd::cli {

using namespace vpisd::host;
namespace {

constexpr int32_t kLargestSensibleContext = 1 << 20;
constexpr uint32_t kDriverBaudMax = 65535; // the driver keeps the rate in 16 bits
constexpr uint16_t kRelayedBaud = 9600;    // any rate does on the pseudo-terminal
constexpr int kTcpConnectMs = 5000;

bool Contains(const std::string &text, const char *part) {
    return text.find(part) != std::string::npos;
}

std::string Joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &line : lines)
        out += (out.empty() ? "" : "; ") + line;
    return out;
}

// Start messages that are about the init file rather than the port.
bool IsInitFileEvent(const std::string &event) {
    return ClassifyInitFileMessage(event) != InitFileMessage::None;
}

} // namespace

std::vector<std::string> ShowDriverEvents(int verbosity) {
    const auto summary = SummarizeEvents(TakeRecentEvents());
    if (verbosity == 0) {
        for (const auto &line : summary)
            std::fprintf(stderr, "  driver: %s\n", line.c_str());
    }
    return summary;
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

void Connection::Complain(const std::string &text) {
    lastError_ = text;
    std::fprintf(stderr, "vpisd-cli: %s\n", text.c_str());
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

void Connection::ShowInitFileEvents(const std::vector<std::string> &events) {
    for (const auto &event : events) {
        const InitFileMessage kind = ClassifyInitFileMessage(event);
        if (kind == InitFileMessage::NotFound) {
            peerToPeerEvents_.push_back(event);
            continue;
        }
        if (kind == InitFileMessage::None)
            continue;
        const int line = MessageLine(initCheck_ ? *initCheck_ : InitCheck{}, event);
        std::string where = initName_.empty() ? "init file" : initName_;
        if (line > 0)
            where += " line " + std::to_string(line);
        const std::string why = initCheck_ && line > 0 ? ExplainLine(*initCheck_, line) : "";
        std::fprintf(stderr, "vpisd-cli: %s: %s%s\n", where.c_str(), event.c_str(),
                     why.empty() ? "" : (" (" + why + ")").c_str());
    }
    if (!initCheck_)
        return;
    // What the driver passes over without a word: a blank line before the end, a last line
    // without its line feed.
    for (const auto &[line, problem] : initCheck_->endProblems) {
        if (line == initCheck_->stopLine)
            continue;
        std::fprintf(stderr, "vpisd-cli: %s line %d: %s\n", initName_.c_str(), line,
                     problem.c_str());
    }
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
    if (!workDir_->Prepare(options.init, line_.vpiNumber, "vpisd-cli", error)) {
        Complain(error);
        return kExitUsage;
    }
    initName_ = workDir_->initSource();
    if (!initName_.empty()) {
        // The copy in the working directory, which is the current one now.
        const auto copy = FindInitFile(workDir_->path(), line_.vpiNumber);
        initCheck_ = CheckInitText(ReadWholeFile(copy.value_or(initName_)).value_or(""));
        if (options.init.empty()) {
            std::fprintf(stderr, "vpisd-cli: routes from %s, found in the current directory\n",
                         initName_.c_str());
        }
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
    devicePath_ = DevicePath(device);
    std::optional<std::string> driverPort = DriverPortName(device);
    const bool relayed = options.trace || !driverPort || line_.baudRate > kDriverBaudMax;
    driverLine_ = line_;
    if (relayed) {
        if (line_.port == "NUL") {
            Complain("the port NUL has no line to relay or trace");
            return kExitUsage;
        }
        relay_ = std::make_unique<WireRelay>();
        if (!relay_->Start(devicePath_, line_, options.trace, error)) {
            Complain("cannot open the port: " + PortProblem(devicePath_));
            return kExitPortFailure;
        }
        driverPort = DriverPortName(relay_->driverPath());
        if (!driverPort) {
            Complain("pseudo-terminal name " + relay_->driverPath() +
                     " is too long for the driver");
            return kExitPortFailure;
        }
        if (driverLine_.baudRate > kDriverBaudMax)
            driverLine_.baudRate = kRelayedBaud;
    }
    driverPort_ = *driverPort;
    const int32_t started = session_->Start(driverPort_, driverLine_, info_.contextSize);
    const std::vector<std::string> startEvents = TakeRecentEvents();
    ShowInitFileEvents(startEvents);
    if (started != 0) {
        for (const auto &event : startEvents) {
            if (!IsInitFileEvent(event) && verbosity_ == 0)
                std::fprintf(stderr, "  driver: %s\n", event.c_str());
        }
        Complain("cannot open the port " + line_.port + ": " + PortProblem(devicePath_));
        return kExitPortFailure;
    }
    if (verbosity_ > 0) {
        const std::string routes = initName_.empty()
                                       ? "no init file: peer to peer, tags begin with 00"
                                       : "routes from " + initName_;
        std::fprintf(stderr, "vpisd-cli: VPI %d started on %s%s; %s\n", line_.vpiNumber,
                     line_.port.c_str(),
                     relayed ? (" (relayed through " + relay_->driverPath() + ")").c_str() : "",
                     routes.c_str());
    }
    return kExitOk;
}

void Connection::ExplainUnknownPlc(const std::string &gas) {
    const std::string name = UpperGas(gas).substr(0, 2);
    if (!initCheck_) {
        Complain("no init file, so the driver runs peer to peer: every tag begins with 00 "
                 "(e.g. 001234); give the routes with --init FILE");
        return;
    }
    for (const auto &line : initCheck_->lines) {
        if (line.name == name && !line.normalUsed) {
            Complain(name + " is on line " + std::to_string(line.number) + " of " + initName_ +
                     ", but the driver does not use its route: " +
                     ExplainLine(*initCheck_, line.number));
            return;
        }
        if (line.name != name && UpperGas(line.name) == name) {
            Complain(initName_ + " line " + std::to_string(line.number) + " names it " + line.name +
                     ": tags are upper-cased, so write the name in capitals there");
            return;
        }
    }
    std::string names;
    for (const auto &plc : initCheck_->PlcNames())
        names += (names.empty() ? "" : ", ") + plc;
    Complain(name + " is not in " + initName_ +
             (names.empty() ? " (it names no PLC the driver uses)" : " (its PLCs: " + names + ")"));
}

bool Connection::ParseTag(const std::string &gas, int32_t count, TagLayout &layout) {
    if (session_->Parse(gas, count, layout) == 0) {
        TakeRecentEvents();
        return true;
    }
    const std::string rejected =
        gas + ": the driver rejects this GAS" +
        (count > 1 ? " for " + std::to_string(count) + " values" : std::string());
    Complain(rejected);
    std::vector<std::string> events = TakeRecentEvents();
    const bool unknownPlc = std::any_of(events.begin(), events.end(), [](const std::string &event) {
        return Contains(event, "Invalid Route");
    });
    if (unknownPlc)
        events.insert(events.begin(), peerToPeerEvents_.begin(), peerToPeerEvents_.end());
    if (events.empty()) {
        std::fprintf(stderr, "vpisd-cli:   forms: PPrrrr register, PPrrrrF 32-bit pair (odd r), "
                             "PPrrrrbb bit 01..16, PP!ROUTE; blocks only for the first two "
                             "(see --help)\n");
    } else {
        const auto summary = SummarizeEvents(events);
        lastError_ = rejected + ": " + Joined(summary);
        for (const auto &line : verbosity_ == 0 ? summary : std::vector<std::string>{})
            std::fprintf(stderr, "  driver: %s\n", line.c_str());
    }
    if (unknownPlc)
        ExplainUnknownPlc(gas);
    return false;
}

LineStatus Connection::Transfer(bool write, const std::string &gas, const TagLayout &layout,
                                std::span<uint16_t> values, std::string &reason) {
    Tries tries;
    const int32_t result =
        write ? session_->Write(gas, layout, values, &tries) : session_->Read(gas, layout, values);
    if (relay_)
        relay_->Settle();
    // A write retried without an accepted reply may have been applied: no answer, not refused.
    const LineStatus status = write ? StatusFromWrite(result, tries) : StatusFromResult(result);
    if (status == LineStatus::Ok) {
        TakeRecentEvents();
        return status;
    }
    reason = Joined(ShowDriverEvents(verbosity_));
    if (status != LineStatus::NoAnswer)
        return status;
    if (DeviceVanished(devicePath_)) {
        if (!deviceGone_) {
            std::fprintf(stderr,
                         "vpisd-cli: %s has vanished (device gone): the adapter was unplugged "
                         "or the far end closed\n",
                         devicePath_.c_str());
        }
        deviceGone_ = true;
        reason = devicePath_ + " has vanished (device gone)";
        return LineStatus::LineDown;
    }
    return status;
}

bool Connection::ReopenIfGone() {
    if (!deviceGone_)
        return true;
    if (relay_ || DeviceVanished(devicePath_))
        return false;
    if (session_->Reopen(driverPort_, driverLine_) != 0) {
        TakeRecentEvents();
        return false;
    }
    TakeRecentEvents();
    deviceGone_ = false;
    std::fprintf(stderr, "vpisd-cli: %s is back and open again\n", devicePath_.c_str());
    return true;
}

} // namespace vpisd::cli
