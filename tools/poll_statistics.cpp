#include "poll_statistics.h"

#include <algorithm>
#include <cstdio>

namespace vpisd::cli {

void PollStatistics::Count(LineStatus status, double milliseconds) {
    ++requests;
    switch (status) {
    case LineStatus::Ok:
        minMs = replies == 0 ? milliseconds : std::min(minMs, milliseconds);
        maxMs = std::max(maxMs, milliseconds);
        totalMs += milliseconds;
        ++replies;
        break;
    case LineStatus::Refused:
        ++refused;
        break;
    case LineStatus::NoAnswer:
    case LineStatus::LineDown:
    case LineStatus::Busy:
    case LineStatus::Cancelled:
        ++noAnswer;
        break;
    }
}

void PollStatistics::CountTrace(std::string_view trace) {
    // "VPISD: Read Retries = 3 GAS=...", "VPISD: Write Retries = 3",
    // "VPISD:EstablishLinkToPlc() Retry 2"
    if (trace.find("Retries = ") != std::string_view::npos ||
        trace.find("EstablishLinkToPlc() Retry") != std::string_view::npos) {
        ++retries;
    }
    // The acknowledgement bytes as read: DLE NAK is 10 15.
    if (trace.find("ReadAckResponse() Char[0] = 10 Char[1] = 15") != std::string_view::npos)
        ++naks;
}

double PollStatistics::LossPercent() const {
    return requests == 0 ? 0.0 : 100.0 * errors() / requests;
}

std::string FormatStatistics(Format format, const PollStatistics &stats, const std::string &port) {
    char text[768];
    if (format == Format::Json) {
        std::snprintf(text, sizeof text,
                      "{\"statistics\":{\"port\":%s,\"rounds\":%d,\"requests\":%d,\"replies\":%d,"
                      "\"errors\":%d,\"refused\":%d,\"noAnswer\":%d,\"lossPercent\":%.1f,"
                      "\"retries\":%d,\"naks\":%d,\"responseMs\":{\"min\":%.1f,\"avg\":%.1f,"
                      "\"max\":%.1f},\"seconds\":%.3f}}\n",
                      JsonString(port).c_str(), stats.rounds, stats.requests, stats.replies,
                      stats.errors(), stats.refused, stats.noAnswer, stats.LossPercent(),
                      stats.retries, stats.naks, stats.minMs, stats.AverageMs(), stats.maxMs,
                      stats.seconds);
        return text;
    }
    std::snprintf(text, sizeof text,
                  "--- %s poll statistics ---\n"
                  "%d rounds, %d requests sent, %d replies received, %d errors "
                  "(%d refused, %d no answer), %.1f%% loss, %.2f s\n"
                  "%d retries, %d NAKs; response time min/avg/max = %.1f/%.1f/%.1f ms\n",
                  port.c_str(), stats.rounds, stats.requests, stats.replies, stats.errors(),
                  stats.refused, stats.noAnswer, stats.LossPercent(), stats.seconds, stats.retries,
                  stats.naks, stats.minMs, stats.AverageMs(), stats.maxMs);
    return text;
}

} // namespace vpisd::cli
