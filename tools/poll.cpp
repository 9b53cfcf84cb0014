#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "connection.h"
#include "exit_codes.h"
#include "host/host_log.h"
#include "poll_statistics.h"
#include "stop_flag.h"
#include "tag_report.h"
#include "vpisd/vpi.h"

namespace vpisd::cli {

using namespace vpisd::host;
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopCheck = std::chrono::milliseconds(20);

struct PolledTag {
    TagRequest request;
    TagLayout layout;
};

// The statistics that the driver's traces feed while a poll runs.
PollStatistics *tracedStatistics = nullptr;

void CountTrace(int level, const char *text) {
    if (tracedStatistics != nullptr && level == VPI_LOG_DEBUG)
        tracedStatistics->CountTrace(text);
}

// Waits until `until`, looking at the stop flag often enough to feel immediate.
void SleepUntil(Clock::time_point until) {
    while (!StopRequested() && Clock::now() < until) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kStopCheck, until - Clock::now()));
    }
}

} // namespace

int RunPoll(const CommonOptions &options, const std::vector<TagRequest> &tags,
            const PollOptions &poll) {
    Connection connection;
    if (const int code = connection.Open(options); code != kExitOk) {
        if (options.format == Format::Json)
            std::printf("%s", JsonError(connection.lastError(), code).c_str());
        return code;
    }
    std::vector<PolledTag> polled;
    for (const auto &tag : tags) {
        PolledTag entry{tag, {}};
        if (!connection.ParseTag(tag.gas, tag.count, entry.layout)) {
            if (options.format == Format::Json)
                std::printf("%s", JsonError(connection.lastError(), kExitRefused).c_str());
            return kExitRefused;
        }
        polled.push_back(entry);
    }
    if (options.format == Format::Text) {
        std::printf("polling %zu tag(s) every %d ms on %s; Ctrl-C to stop\n", polled.size(),
                    poll.intervalMs, options.line.port.c_str());
    } else if (options.format == Format::Csv) {
        std::fputs(CsvHeader(true, options.hexColumn).c_str(), stdout);
    }
    std::fflush(stdout);

    PollStatistics stats;
    tracedStatistics = &stats;
    SetLogObserver(CountTrace);
    int exitCode = kExitOk;
    const auto begin = Clock::now();
    auto next = begin;
    for (int round = 1; (poll.rounds == 0 || round <= poll.rounds) && !StopRequested(); ++round) {
        const RoundStamp stamp{round, IsoTimestamp()};
        if (options.format == Format::Text)
            std::printf("-- round %d at %s\n", round, stamp.time.c_str());
        const bool portUsable = connection.ReopenIfGone();
        for (const auto &tag : polled) {
            if (StopRequested())
                break;
            std::vector<uint16_t> buffer(BufferWords(tag.layout), 0);
            TagReport report = ReportFor(options, tag.request.gas, tag.layout);
            const auto sent = Clock::now();
            if (portUsable) {
                report.status =
                    connection.Transfer(false, tag.request.gas, tag.layout, buffer, report.reason);
            } else {
                report.status = LineStatus::LineDown;
                report.reason = connection.line().port + " has vanished (device gone)";
            }
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
            if (report.status == LineStatus::Ok) {
                report.values = DecodeValues(tag.layout, buffer, ValueTypeFor(options, tag.layout),
                                             options.wordOrder);
            }
            exitCode = WorseExitCode(exitCode, ExitCodeForStatus(report.status));
            stats.Count(report.status, ms);
            std::fputs(FormatReport(options.format, report, stamp).c_str(), stdout);
            std::fflush(stdout);
        }
        stats.rounds = round;
        if (poll.rounds != 0 && round == poll.rounds)
            break;
        next += std::chrono::milliseconds(poll.intervalMs);
        SleepUntil(next);
    }
    SetLogObserver(nullptr);
    tracedStatistics = nullptr;
    stats.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const std::string summary = FormatStatistics(options.format, stats, options.line.port);
    // A csv stream stays one table; its summary goes to stderr.
    std::fputs(summary.c_str(), options.format == Format::Csv ? stderr : stdout);
    std::fflush(stdout);
    return exitCode;
}

} // namespace vpisd::cli
