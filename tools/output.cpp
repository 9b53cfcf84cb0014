#include "output.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "host/value_codec.h"

namespace vpisd::cli {
namespace {

struct StatusWord {
    LineStatus status;
    const char *word;
};
constexpr std::array<StatusWord, host::kLineStatusCount> kStatusWords = {{
    {LineStatus::Ok, "ok"},
    {LineStatus::Refused, "refused"},
    {LineStatus::NoAnswer, "no answer"},
    {LineStatus::LineDown, "device gone"},
    {LineStatus::Busy, "busy"},
    {LineStatus::Cancelled, "cancelled"},
}};
static_assert(host::CoversEveryStatus(kStatusWords));

std::string HexOf(int64_t value, int digits) {
    const auto bits = static_cast<unsigned long long>(static_cast<uint64_t>(value));
    char text[24];
    if (digits >= 8) {
        std::snprintf(text, sizeof text, "0x%08llX", bits & 0xFFFFFFFFull);
    } else {
        std::snprintf(text, sizeof text, "0x%04llX", bits & 0xFFFFull);
    }
    return text;
}

// The number as printed: decimal, or the float that a pair's bits hold.
std::string NumberText(const TagReport &report, int64_t value, bool forJson) {
    if (!report.asFloat)
        return std::to_string(value);
    const float number = host::FloatFromBits(value);
    if (!std::isfinite(number))
        return forJson ? "null" : (std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf");
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, number);
    return ec == std::errc() ? std::string(text, end) : std::to_string(number);
}

int HexDigits(const TagReport &report) {
    return report.hexDigits > 0 ? report.hexDigits : 4;
}

std::string TextValue(const TagReport &report, int64_t value) {
    std::string out = NumberText(report, value, false);
    if (report.route) {
        out += value == 0 ? " (normal route)" : " (backup route)";
    } else if (report.hexDigits > 0) {
        out += " (" + HexOf(value, report.hexDigits) + ")";
    }
    return out;
}

std::string FormatText(const TagReport &report) {
    if (report.status != LineStatus::Ok) {
        return report.gas + ": " + StatusText(report) + "\n";
    }
    std::string out;
    const char *arrow = report.write ? " <- " : " = ";
    for (size_t i = 0; i < report.values.size(); ++i) {
        const std::string &name = i < report.names.size() ? report.names[i] : report.gas;
        out += name + arrow + TextValue(report, report.values[i]);
        out += report.write ? " ok\n" : "\n";
    }
    return out;
}

std::string FormatCsv(const TagReport &report, const RoundStamp &stamp) {
    const std::string lead =
        stamp.round > 0 ? std::to_string(stamp.round) + "," + CsvField(stamp.time) + "," : "";
    const std::string status = CsvField(StatusText(report));
    if (report.status != LineStatus::Ok || report.values.empty()) {
        return lead + CsvField(report.gas) + (report.hexColumn ? ",,," : ",,") + status + "\n";
    }
    std::string out;
    for (size_t i = 0; i < report.values.size(); ++i) {
        const std::string &name = i < report.names.size() ? report.names[i] : report.gas;
        out += lead + CsvField(name) + "," + NumberText(report, report.values[i], false) + "," +
               (report.hexColumn ? HexOf(report.values[i], HexDigits(report)) + "," : "") + status +
               "\n";
    }
    return out;
}

std::string FormatJson(const TagReport &report, const RoundStamp &stamp) {
    std::string out = "{";
    if (stamp.round > 0) {
        out += "\"round\":" + std::to_string(stamp.round) + ",\"time\":" + JsonString(stamp.time) +
               ",";
    }
    out += "\"gas\":" + JsonString(report.gas);
    out += ",\"operation\":" + JsonString(report.write ? "write" : "read");
    out += ",\"status\":" + JsonString(StatusText(report));
    out += ",\"values\":[";
    if (report.status == LineStatus::Ok) {
        for (size_t i = 0; i < report.values.size(); ++i) {
            const std::string &name = i < report.names.size() ? report.names[i] : report.gas;
            if (i > 0)
                out += ",";
            out += "{\"gas\":" + JsonString(name) +
                   ",\"value\":" + NumberText(report, report.values[i], true);
            if (report.hexColumn)
                out += ",\"hex\":" + JsonString(HexOf(report.values[i], HexDigits(report)));
            out += "}";
        }
    }
    out += "]";
    if (report.status != LineStatus::Ok && !report.reason.empty())
        out += ",\"reason\":" + JsonString(report.reason);
    return out + "}\n";
}

} // namespace

const char *StatusText(const TagReport &report) {
    if (report.gasRejected)
        return "bad GAS";
    return RowFor(kStatusWords, report.status).word;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\n\r") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvHeader(bool polling, bool hexColumn) {
    return std::string(polling ? "round,time," : "") + "gas,value," + (hexColumn ? "hex," : "") +
           "status\n";
}

std::string JsonError(std::string_view reason, int exitCode) {
    return "{\"error\":" + JsonString(reason) + ",\"exitCode\":" + std::to_string(exitCode) + "}\n";
}

std::string IsoTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local); // +0100; ISO 8601 extended wants +01:00
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, static_cast<int>(millis), zone,
                  zone + 3);
    return text;
}

std::vector<std::string> SummarizeEvents(const std::vector<std::string> &events) {
    std::vector<std::string> texts;
    std::vector<int> counts;
    for (const auto &event : events) {
        size_t i = 0;
        while (i < texts.size() && texts[i] != event)
            ++i;
        if (i == texts.size()) {
            texts.push_back(event);
            counts.push_back(0);
        }
        ++counts[i];
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        if (counts[i] > 1)
            texts[i] += " (" + std::to_string(counts[i]) + " times)";
    }
    return texts;
}

std::string FormatReport(Format format, const TagReport &report, const RoundStamp &stamp) {
    switch (format) {
    case Format::Csv:
        return FormatCsv(report, stamp);
    case Format::Json:
        return FormatJson(report, stamp);
    case Format::Text:
        break;
    }
    return FormatText(report);
}

} // namespace vpisd::cli
