// What a command prints for each tag, as text for people or csv/json for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/line_status.h"

namespace vpisd::cli {

enum class Format { Text, Csv, Json };

using host::LineStatus;

struct TagReport {
    std::string gas;                    // upper-cased
    bool write = false;                 // values written rather than read
    LineStatus status = LineStatus::Ok; // LineDown: the device is gone
    bool gasRejected = false;           // Refused before any traffic: the driver rejected the GAS
    int hexDigits = 0;                  // 4 or 8 to show each value in hex too (text only)
    bool route = false;                 // a "!ROUTE" value: 0 normal, other backup
    std::vector<std::string> names;     // the GAS of each value
    std::vector<int64_t> values;
    bool asFloat = false;   // 32-bit values hold IEEE 754 single-precision bits
    bool hexColumn = false; // csv and json carry each value in hex as well
    std::string reason;     // why it failed, for json
};

// Polling adds the round and its time to every record; round 0 means a single command.
struct RoundStamp {
    int round = 0;
    std::string time; // ISO 8601 with date and UTC offset
};

// Local time now as "2026-12-07T11:20:34.123+01:00".
std::string IsoTimestamp();

// "ok", "refused", "no answer", "bad GAS", "device gone", ...
const char *StatusText(const TagReport &report);
std::string JsonString(std::string_view text);
std::string CsvField(std::string_view text);
std::string CsvHeader(bool polling, bool hexColumn = false);
// The line a failure before any tag prints in json: {"error":"...","exitCode":N}.
std::string JsonError(std::string_view reason, int exitCode);
// Driver messages for a person: each distinct text once, in order of first appearance,
// with " (N times)" when it came more than once.
std::vector<std::string> SummarizeEvents(const std::vector<std::string> &events);

// The lines for one tag, each ending in a newline.
std::string FormatReport(Format format, const TagReport &report, const RoundStamp &stamp);

} // namespace vpisd::cli
