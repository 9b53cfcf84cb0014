#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "connection.h"
#include "exit_codes.h"
#include "host/console.h"
#include "poll_statistics.h"
#include "stop_flag.h"
#include "tag_report.h"

namespace vpisd::cli {

using namespace vpisd::host;
namespace {

constexpr auto kStopCheck = std::chrono::milliseconds(20);

struct PolledTag {
    TagRequest request;
    TagLayout layout;
};

// Waits until `until`, looking at the stop flag often enough to feel immediate.
void SleepUntil(std::chrono::steady_clock::time_point until) {
    while (!StopRequested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            kStopCheck, until - std::chrono::steady_clock::now()));
    }
}

} // namespace

int RunPoll(const CommonOptions &options, const std::vector<TagRequest> &tags, int intervalMs,
            int rounds) {
    Connection connection;
    if (const int code = connection.Open(options); code != kExitOk)
        return code;
    std::vector<PolledTag> polled;
    for (const auto &tag : tags) {
        PolledTag entry{tag, {}};
        if (!connection.ParseTag(tag.gas, tag.count, entry.layout))
            return kExitRefused;
        polled.push_back(entry);
    }
    if (options.format == Format::Text) {
        std::printf("polling %zu tag(s) every %d ms on %s; Ctrl-C to stop\n", polled.size(),
                    intervalMs, options.line.port.c_str());
    } else if (options.format == Format::Csv) {
        std::fputs(CsvHeader(true).c_str(), stdout);
    }
    std::fflush(stdout);

    PollStatistics stats;
    int exitCode = kExitOk;
    const auto begin = std::chrono::steady_clock::now();
    auto next = begin;
    for (int round = 1; (rounds == 0 || round <= rounds) && !StopRequested(); ++round) {
        const RoundStamp stamp{round, TimeOfDay()};
        if (options.format == Format::Text)
            std::printf("-- round %d at %s\n", round, stamp.time.c_str());
        for (const auto &tag : polled) {
            if (StopRequested())
                break;
            std::vector<uint16_t> buffer(BufferWords(tag.layout), 0);
            TagReport report = MakeReport(tag.request.gas, tag.layout);
            report.status =
                StatusForResult(connection.session().Read(tag.request.gas, tag.layout, buffer));
            connection.SettleTrace();
            if (report.status == TagStatus::Ok) {
                report.values =
                    DecodeValues(tag.layout, buffer, options.wordOrder, options.asSigned);
            }
            ReportDriverEvents(report.status, options.verbosity);
            exitCode = WorseExitCode(exitCode, ExitCodeForStatus(report.status));
            stats.Count(report.status);
            std::fputs(FormatReport(options.format, report, stamp).c_str(), stdout);
            std::fflush(stdout);
        }
        stats.rounds = round;
        if (rounds != 0 && round == rounds)
            break;
        next += std::chrono::milliseconds(intervalMs);
        SleepUntil(next);
    }
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const std::string summary = FormatStatistics(options.format, stats, options.line.port);
    // A csv stream stays one table; its summary goes to stderr.
    std::fputs(summary.c_str(), options.format == Format::Csv ? stderr : stdout);
    std::fflush(stdout);
    return exitCode;
}

} // namespace vpisd::cli
