#include "gateway/lines/line_worker.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "gateway/driver_log.h"
#include "gateway/log.h"
#include "host/host_log.h"
#include "host/init_check.h"
#include "host/port_check.h"
#include "host/port_name.h"
#include "host/tag_layout.h"

namespace vpisd::gateway {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstReopenPause{250}; // doubles after each failed open, up to the last
constexpr milliseconds kLongestReopenPause{8000};
constexpr milliseconds kFirstTcpWait{2000}; // for the terminal server before the first start
// The worst transaction of the driver: a link that fails takes up to 20 enquiries, each waiting
// one timeout for its answer; a link that holds takes up to 10 tries of the command, each a new
// enquiry, the frame's acknowledgement and the reply, each waiting one timeout. Every retry
// pauses 100 ms and drains the input in 50 ms windows.
constexpr int kLinkEnquiries = 20;
constexpr int kCommandTries = 10;
constexpr int kWaitsPerTry = 3;
constexpr milliseconds kRetryPause{100 + 50};
constexpr milliseconds kStepSlack{5000}; // a VPI start, a TCP wait, a busy machine

// The PLCs of the line's init file, each with whether it has a backup route.
std::vector<std::pair<std::string, bool>> InitPlcs(const std::string &initText) {
    std::vector<std::pair<std::string, bool>> plcs;
    if (initText.empty())
        return plcs;
    const host::InitCheck check = host::CheckInitText(initText);
    for (const std::string &name : check.PlcNames()) {
        const host::InitLine *line = check.FindName(name);
        plcs.emplace_back(name, line != nullptr && line->backupUsed && !line->backup.empty());
    }
    return plcs;
}

} // namespace

LineWorker::LineWorker(const host::DriverLibrary &library, const DriverInfo &info,
                       const LineConfig &config, const std::string &initText)
    : library_(library), info_(info), config_(config), health_(config.name, config.demotion),
      queue_(config.queueDepth), scheduler_(config, &health_) {
    health_.List(InitPlcs(initText));
    line_.port = config.port;
    line_.baudRate = config.baud.value_or(info.baudRate);
    line_.dataBits = config.dataBits.value_or(info.dataBits);
    line_.stopBits = config.stopBits.value_or(info.stopBits);
    line_.parity = config.parity.value_or(info.parity);
    line_.timeoutMs = config.timeoutMs;
    line_.vpiNumber = config.vpi;
}

LineWorker::~LineWorker() {
    BeginStop();
    Join();
}

void LineWorker::Start(std::vector<std::shared_future<void>> after) {
    after_ = std::move(after);
    if (host::IsTcpPort(config_.port)) {
        tcp_ = std::make_unique<host::TcpLine>();
        const std::string name = config_.name;
        tcp_->OnEvent([name](const std::string &text) { Log(Level::Notice, name, text); });
        std::string error;
        if (!tcp_->Start(config_.port, error)) {
            Log(Level::Error, config_.name, error);
        } else {
            driverPort_ = host::DriverPortName(tcp_->driverPath()).value_or("");
            devicePath_ = tcp_->driverPath();
        }
    } else {
        driverPort_ = *host::DriverPortName(config_.port);
        devicePath_ = host::DevicePath(config_.port);
    }
    Beat();
    launched_ = true;
    thread_ = std::thread([this] { Run(); });
}

void LineWorker::Join() {
    if (thread_.joinable())
        thread_.join();
}

bool LineWorker::DevicePresent() const {
    if (tcp_)
        return tcp_->connected();
    struct stat info {};
    return devicePath_ == "NUL" || stat(devicePath_.c_str(), &info) == 0;
}

std::optional<std::string> LineWorker::LostCause() const {
    if (tcp_)
        return tcp_->connected() ? std::nullopt
                                 : std::optional<std::string>(config_.port + " is not connected");
    return watch_.Lost();
}

milliseconds LineWorker::LongestStep() const {
    const milliseconds timeout(config_.timeoutMs);
    const milliseconds transaction = (timeout + kRetryPause) * kLinkEnquiries +
                                     (timeout * kWaitsPerTry + kRetryPause) * kCommandTries;
    return std::max(kLongestReopenPause, transaction) + kStepSlack;
}

bool LineWorker::Alive(Clock::time_point now) const {
    if (finished_ || !launched_)
        return true;
    return now - Clock::time_point(Clock::duration(heartbeat_.load())) < LongestStep();
}

// A failed open is logged once per cause, with what the driver said about it: a port that stays
// busy or forbidden does not fill the log on every retry.
bool LineWorker::OpenLine() {
    Beat();
    std::vector<std::string> driverSaid;
    bool open = false;
    if (!driverPort_.empty() && DevicePresent()) {
        CaptureDriverMessages(&driverSaid);
        session_ = std::make_unique<host::VpiSession>(library_);
        open = session_->Start(driverPort_, line_, info_.contextSize) == VPI_OK;
        CaptureDriverMessages(nullptr);
        if (!open)
            session_.reset();
        else if (!tcp_)
            watch_.Arm(devicePath_);
    }
    std::string cause;
    if (!open)
        cause = tcp_                  ? config_.port + " is not connected"
                : driverPort_.empty() ? "no usable port name"
                                      : host::PortProblem(devicePath_);
    if (open || cause != openProblem_) {
        for (const std::string &message : driverSaid)
            Log(Level::Info, config_.name, "driver: " + message);
    }
    if (!open && cause != openProblem_)
        Log(Level::Warning, config_.name,
            "cannot open " + config_.port + ": " + cause + "; answering 0B and trying again");
    openProblem_ = cause;
    return open;
}

// One attempt to open the line: Up, or else the first failure is the state Down and a later one
// waits longer before the next attempt.
void LineWorker::TryOpen() {
    if (OpenLine()) {
        Enter(LineState::Up);
    } else if (!started_) {
        Enter(LineState::Down, openProblem_);
    } else {
        pause_ = std::min(pause_ * 2, kLongestReopenPause);
        nextOpen_ = Clock::now() + pause_;
    }
}

// Every change of the line's state passes here, with what it brings: the state and last error
// that Status() shows, the PLCs' health, the log line, the VPI and the next open.
void LineWorker::Enter(LineState state, const std::string &cause) {
    std::optional<std::string> error;
    switch (state) {
    case LineState::Up:
        if (!started_)
            Log(Level::Info, config_.name,
                "VPI " + std::to_string(config_.vpi) + " started on " + config_.port);
        else
            Log(Level::Notice, config_.name, "line back: " + config_.port + " open again");
        break;
    case LineState::Reopening: // the open line is lost
        Log(Level::Warning, config_.name,
            "line lost: " + cause + "; answering 0B and opening it again");
        error = "line lost: " + cause;
        health_.LineDown();
        watch_.Disarm();
        session_.reset(); // closes the VPI's port
        openProblem_ = tcp_ ? config_.port + " is not connected" : host::PortProblem(devicePath_);
        break;
    case LineState::Down: // with a cause, the first open failed; without, the worker stops
        if (!cause.empty())
            error = "cannot open " + config_.port + ": " + cause;
        session_.reset();
        break;
    }
    if (state != LineState::Up) {
        pause_ = kFirstReopenPause;
        nextOpen_ = Clock::now() + pause_;
    }
    up_ = state == LineState::Up;
    started_ = true;
    std::lock_guard lock(statusMutex_);
    state_ = state;
    if (error) {
        lastError_ = std::move(error);
        lastErrorAt_ = WallClock::now();
    }
}

void LineWorker::Run() {
    host::SetThreadLogTag(config_.name);
    answerer_ = std::thread([this] {
        while (std::optional<ReadyAnswer> ready = queue_.TakeAnswered())
            Answer(ready->request, std::move(ready->reply), ready->by);
    });
    // The workers this one replaces finish their transaction in progress and close the port.
    for (const std::shared_future<void> &before : after_) {
        while (before.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            Beat();
    }
    after_.clear();
    if (tcp_)
        tcp_->WaitConnected(static_cast<int>(kFirstTcpWait.count()));
    TryOpen();
    while (!queue_.closed()) {
        Beat();
        FlushDriverEvents(false);
        lateLog_.Flush(false);
        if (up_) {
            // Noticed between jobs too, so that the status tells before a request fails.
            if (const std::optional<std::string> cause = LostCause())
                Enter(LineState::Reopening, *cause);
        }
        if (!up_ && Clock::now() >= nextOpen_)
            TryOpen();
        const auto until = up_ ? Clock::now() + std::chrono::seconds(1) : nextOpen_;
        std::optional<Batch> batch = queue_.Take(until, scheduler_);
        if (!batch)
            continue;
        for (ReadyAnswer &ready : batch->ready)
            Answer(ready.request, std::move(ready.reply), ready.by);
        if (!batch->jobs.empty()) {
            if (up_) {
                if (const std::optional<std::string> cause = LostCause())
                    Enter(LineState::Reopening, *cause);
            }
            if (!up_) {
                for (LineRequest &job : batch->jobs)
                    Answer(job, LineReply{LineStatus::LineDown, {}}, AnsweredBy::Line);
            } else if (batch->jobs.front().op == LineOp::ReadRegisters) {
                ServeReads(*batch);
            } else {
                ServeJob(batch->jobs.front());
            }
            health_.Served(batch->jobs.front().plc);
        }
        queue_.Finished();
    }
    for (LineRequest &waiting : queue_.TakeAll())
        waiting.done(LineReply{LineStatus::Cancelled, {}});
    answerer_.join();
    Enter(LineState::Down);
    FlushDriverEvents(true);
    if (tcp_)
        tcp_->Stop();
    finished_ = true;
    closing_.set_value();
}

void LineWorker::Answer(LineRequest &request, LineReply &&reply, AnsweredBy by) {
    ++counters_.answered;
    switch (by) {
    case AnsweredBy::MergedRead:
        ++counters_.merged;
        break;
    case AnsweredBy::StoredValues:
        ++counters_.stored;
        break;
    case AnsweredBy::RefusedHold:
        ++counters_.held;
        break;
    case AnsweredBy::Demoted:
        ++counters_.demoted;
        break;
    case AnsweredBy::Line:
        break;
    }
    activity_.Answered(Clock::now());
    request.done(std::move(reply));
}

// A silent line whose device has gone (or was replaced, or hung up) is a line down, not a PLC
// that does not answer.
LineStatus LineWorker::LineStatusAfter(LineStatus status) {
    if (status != LineStatus::NoAnswer)
        return status;
    const std::optional<std::string> cause = LostCause();
    if (!cause)
        return status;
    Enter(LineState::Reopening, *cause);
    return LineStatus::LineDown;
}

void LineWorker::ServeJob(LineRequest &job) {
    DriverEventsConcern(job.plc);
    LineReply reply = Execute(job);
    reply.status = LineStatusAfter(reply.status);
    // Whatever the outcome, the PLC's registers may have changed.
    // A coil write (WriteBits) may carry whole registers too.
    if ((job.op == LineOp::WriteRegisters || job.op == LineOp::WriteBits) && !job.values.empty())
        scheduler_.Forget(job.plc, job.first, static_cast<uint16_t>(job.values.size()));
    for (const BitWrite &bit : job.bits)
        scheduler_.Forget(job.plc, bit.reg, 1);
    NoteRoute(job.plc);
    Answer(job, std::move(reply), AnsweredBy::Line);
}

void LineWorker::ServeReads(Batch &batch) {
    const std::string plc = batch.jobs.front().plc;
    DriverEventsConcern(plc);
    const auto began = Clock::now();
    std::vector<uint16_t> block;
    const LineStatus status = LineStatusAfter(ReadBlock(plc, batch.first, batch.count, block));
    // Before the answers: whoever got one and looks at the status sees the route it came by.
    NoteRoute(plc);
    const bool alone = batch.jobs.size() == 1;
    if (status == LineStatus::Ok) {
        scheduler_.Remember(plc, batch.first, block, began);
        for (LineRequest &job : batch.jobs) {
            const auto from = block.begin() + (job.first - batch.first);
            Answer(job, LineReply{LineStatus::Ok, {from, from + job.count}},
                   alone ? AnsweredBy::Line : AnsweredBy::MergedRead);
        }
    } else if (status == LineStatus::Refused && !alone) {
        // One bad range must not fail the good ones read with it.
        ReadEach(batch.jobs);
    } else {
        if (status == LineStatus::Refused)
            scheduler_.Hold(plc, batch.first, batch.count, Clock::now());
        for (LineRequest &job : batch.jobs)
            Answer(job, LineReply{status, {}}, AnsweredBy::Line);
    }
    scheduler_.Served(batch, Clock::now());
    if (status == LineStatus::Refused && !alone)
        NoteRoute(plc); // after the reads one by one
}

// Each range of a refused block read on its own; requests for the same range share a read.
void LineWorker::ReadEach(std::vector<LineRequest> &jobs) {
    std::optional<LineStatus> silent; // once the PLC or the line stops answering, no more tries
    std::vector<bool> done(jobs.size(), false);
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (done[i])
            continue;
        const std::string plc = jobs[i].plc;
        const uint16_t first = jobs[i].first;
        const uint16_t count = jobs[i].count;
        std::vector<size_t> same;
        for (size_t j = i; j < jobs.size(); ++j) {
            if (!done[j] && jobs[j].first == first && jobs[j].count == count)
                same.push_back(j);
        }
        const auto began = Clock::now();
        std::vector<uint16_t> values;
        LineStatus status = silent.value_or(LineStatus::Ok);
        if (!silent)
            status = LineStatusAfter(ReadBlock(plc, first, count, values));
        if (status == LineStatus::Ok)
            scheduler_.Remember(plc, first, values, began);
        else if (status == LineStatus::Refused)
            scheduler_.Hold(plc, first, count, Clock::now());
        else
            silent = status;
        for (size_t j : same) {
            done[j] = true;
            Answer(jobs[j],
                   LineReply{status, status == LineStatus::Ok ? values : std::vector<uint16_t>{}},
                   same.size() > 1 && status == LineStatus::Ok ? AnsweredBy::MergedRead
                                                               : AnsweredBy::Line);
        }
    }
}

LineReply LineWorker::Execute(const LineRequest &request) {
    LineReply reply;
    switch (request.op) {
    case LineOp::ReadRegisters:
        reply.status = ReadBlock(request.plc, request.first, request.count, reply.values);
        break;
    case LineOp::WriteRegisters:
        reply.status = WriteRegisters(request);
        break;
    case LineOp::WriteBits:
        reply.status = WriteBits(request);
        break;
    case LineOp::ReadRoute:
        reply.status = ReadRoute(request, reply.values);
        break;
    }
    if (reply.status != LineStatus::Ok)
        reply.values.clear();
    return reply;
}

LineStatus LineWorker::ReadBlock(const std::string &plc, uint16_t first, uint16_t count,
                                 std::vector<uint16_t> &out) {
    const std::string gas = host::RegisterGas(plc, first);
    host::TagLayout layout;
    if (session_->Parse(gas, count, layout) != VPI_OK)
        return LineStatus::Refused;
    std::vector<uint16_t> buffer(host::BufferWords(layout));
    ++counters_.transactions;
    Beat();
    const bool onBackup = OnBackupRoute(plc);
    const auto began = Clock::now();
    host::Tries tries;
    const int32_t result = session_->Read(gas, layout, buffer, &tries);
    const LineStatus status = host::StatusFromRead(result, tries);
    NoteOutcome(plc, onBackup, status, tries, "a read of " + gas, began);
    if (status != LineStatus::Ok)
        return status;
    const std::span<const uint16_t> values = host::ValueWords(layout, buffer);
    out.assign(values.begin(), values.end());
    return LineStatus::Ok;
}

LineStatus LineWorker::ReadRoute(const LineRequest &request, std::vector<uint16_t> &out) {
    const std::string gas = host::RouteGas(request.plc);
    host::TagLayout layout;
    if (session_->Parse(gas, 1, layout) != VPI_OK)
        return LineStatus::Refused;
    uint16_t buffer[2] = {0, 0};
    Beat();
    const int32_t result = session_->Read(gas, layout, buffer);
    if (result == VPI_OK)
        out.assign(1, host::ValueWords(layout, buffer)[0]);
    return host::StatusFromResult(result);
}

// The driver's route selection for `plc`: a pseudo-tag it answers without line traffic.
void LineWorker::NoteRoute(const std::string &plc) {
    if (!session_)
        return;
    const std::string gas = host::RouteGas(plc);
    host::TagLayout layout;
    uint16_t buffer[2] = {0, 0};
    if (session_->Parse(gas, 1, layout) != VPI_OK || session_->Read(gas, layout, buffer) != VPI_OK)
        return;
    std::lock_guard lock(statusMutex_);
    backupRoutes_[plc] = host::ValueWords(layout, buffer)[0] != 0;
}

bool LineWorker::OnBackupRoute(const std::string &plc) const {
    std::lock_guard lock(statusMutex_);
    const auto found = backupRoutes_.find(plc);
    return found != backupRoutes_.end() && found->second;
}

// A silent line whose device has gone is the line's fault, not the PLC's: LineStatusAfter
// tells, and the PLCs become unknown. A PLC whose replies come after the line's timeout answers
// nothing in time: it is unanswered, and the log says once a minute what to raise.
void LineWorker::NoteOutcome(const std::string &plc, bool onBackup, LineStatus status,
                             const host::Tries &tries, const std::string &what,
                             Clock::time_point began) {
    const auto ended = Clock::now();
    activity_.Busy(began, ended);
    if (status != LineStatus::NoAnswer) {
        health_.Answered(plc, ended);
        return;
    }
    if (LostCause()) {
        health_.LineDown();
        return;
    }
    const milliseconds timeout(config_.timeoutMs);
    if (!host::RepliesAfterTimeout(tries, timeout)) {
        health_.Unanswered(plc, onBackup, "no answer to " + what, ended);
        return;
    }
    // "PLC P1 replies after timeout_ms = 100: its acknowledged requests waited 101 ms or more
    // for a reply in 10 tries of a read of P10100 (5214 ms in all), answered no_answer; ..."
    const auto took = std::chrono::duration_cast<milliseconds>(ended - began);
    lateLog_.Note(Level::Warning, config_.name, plc,
                  "PLC " + plc + " replies after timeout_ms = " + std::to_string(timeout.count()) +
                      ": its acknowledged requests waited " +
                      std::to_string(tries.quietAfterAck.count()) + " ms or more for a reply in " +
                      std::to_string(tries.unansweredAfterAck) + " tries of " + what + " (" +
                      std::to_string(took.count()) +
                      " ms in all), answered no_answer; raise timeout_ms",
                  {"late replies:", "from PLC " + plc});
    health_.Unanswered(plc, onBackup, "replies after timeout_ms to " + what, ended);
}

WorkerStatus LineWorker::Status() const {
    WorkerStatus status;
    status.queueDepth = queue_.waiting();
    std::lock_guard lock(statusMutex_);
    status.state = state_;
    status.lastError = lastError_;
    status.lastErrorAt = lastErrorAt_;
    status.backupRoutes.assign(backupRoutes_.begin(), backupRoutes_.end());
    return status;
}

// One write transaction. A write the driver retried without an accepted reply may have been
// applied: it answers NoAnswer, not Refused (host::StatusFromWrite).
LineStatus LineWorker::Write(const std::string &plc, const std::string &gas,
                             const host::TagLayout &layout, std::span<uint16_t> buffer) {
    ++counters_.transactions;
    Beat();
    const bool onBackup = OnBackupRoute(plc);
    const auto began = Clock::now();
    host::Tries tries;
    const int32_t result = session_->Write(gas, layout, buffer, &tries);
    const LineStatus status = host::StatusFromWrite(result, tries);
    NoteOutcome(plc, onBackup, status, tries, "a write of " + gas, began);
    return status;
}

LineStatus LineWorker::WriteRegisters(const LineRequest &request) {
    const auto count = static_cast<int32_t>(request.values.size());
    const std::string gas = host::RegisterGas(request.plc, request.first);
    host::TagLayout layout;
    if (session_->Parse(gas, count, layout) != VPI_OK)
        return LineStatus::Refused;
    std::vector<uint16_t> buffer(host::BufferWords(layout));
    std::ranges::copy(request.values, host::ValueWords(layout, buffer).begin());
    return Write(request.plc, gas, layout, buffer);
}

LineStatus LineWorker::WriteBits(const LineRequest &request) {
    bool blockDone = request.values.empty();
    bool first = true;
    // Each write is one transaction; at a stop the request ends after the one in progress.
    const auto stopping = [&] { return !std::exchange(first, false) && queue_.closed(); };
    for (const BitWrite &bit : request.bits) {
        if (!blockDone && bit.reg >= request.first) {
            if (stopping())
                return LineStatus::Cancelled;
            if (const LineStatus status = WriteRegisters(request); status != LineStatus::Ok)
                return status;
            blockDone = true;
        }
        if (stopping())
            return LineStatus::Cancelled;
        const std::string gas = host::BitGas(request.plc, bit.reg, bit.bit);
        host::TagLayout layout;
        if (session_->Parse(gas, 1, layout) != VPI_OK)
            return LineStatus::Refused;
        uint16_t buffer[2] = {0, 0};
        host::ValueWords(layout, buffer)[0] = bit.on ? 1 : 0;
        const LineStatus status = Write(request.plc, gas, layout, buffer);
        if (status != LineStatus::Ok)
            return status; // the coils before this one are written, the rest are not
    }
    if (!blockDone) {
        if (stopping())
            return LineStatus::Cancelled;
        return WriteRegisters(request);
    }
    return LineStatus::Ok;
}

std::string LineCounters::Describe() const {
    return "transactions " + std::to_string(transactions.load()) + " answered " +
           std::to_string(answered.load()) + " merged " + std::to_string(merged.load()) +
           " stored " + std::to_string(stored.load()) + " held " + std::to_string(held.load()) +
           " demoted " + std::to_string(demoted.load());
}

} // namespace vpisd::gateway
