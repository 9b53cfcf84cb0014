#include "commands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "connection.h"
#include "cp437.h"
#include "exit_codes.h"
#include "host/file_text.h"
#include "host/init_check.h"
#include "stop_flag.h"
#include "tag_report.h"
#include "vpisd/vpi.h"

namespace vpisd::cli {
using namespace vpisd::host;
namespace {

const char *ParityName(uint16_t parity) {
    constexpr const char *kNames[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? kNames[parity] : "unknown";
}

const char *StopBitsName(uint16_t stopBits) {
    constexpr const char *kNames[] = {"1", "1.5", "2"};
    return stopBits < 3 ? kNames[stopBits] : "unknown";
}

void Print(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// A failure before any tag: stderr has said why; json readers get it on stdout as well.
int Failed(const CommonOptions &options, const Connection &connection, int code) {
    if (options.format == Format::Json)
        Print(JsonError(connection.lastError(), code));
    return code;
}

bool IsPair(const TagLayout &layout) {
    return layout.kind == VPI_KIND_REGISTER_PAIR;
}

// A float's bits as the 32-bit number a pair holds; nullopt for text that is not a number.
std::optional<int64_t> ParseFloatBits(const std::string &text) {
    char *end = nullptr;
    const float value = std::strtof(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size())
        return std::nullopt;
    return FloatBits(value);
}

} // namespace

TagReport ReportFor(const CommonOptions &options, const std::string &gas, const TagLayout &layout) {
    TagReport report = MakeReport(gas, layout);
    report.asFloat = options.type == ValueType::Float32 && IsPair(layout);
    report.hexColumn = options.hexColumn;
    return report;
}

ValueType ValueTypeFor(const CommonOptions &options, const TagLayout &layout) {
    if (layout.kind == VPI_KIND_ROUTE)
        return ValueType::Uint16;
    if (layout.bit != kNoBit)
        return ValueType::Bit;
    const size_t words = IsPair(layout) ? 2 : 1;
    // A type of the other width leaves these values at their default.
    if (options.type && InfoOf(*options.type).words == words)
        return *options.type;
    if (words == 2)
        return options.asSigned ? ValueType::Int32 : ValueType::Uint32;
    return options.asSigned ? ValueType::Int16 : ValueType::Uint16;
}

std::optional<TagRequest> ParseTagRequest(const std::string &text, int32_t count) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return TagRequest{text, count};
    int32_t n = 0;
    const char *first = text.data() + colon + 1;
    const char *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || n < 1 || colon == 0)
        return std::nullopt;
    return TagRequest{text.substr(0, colon), n};
}

int RunDescribe(const CommonOptions &options) {
    Connection connection;
    if (const int code = connection.LoadDriver(options); code != kExitOk)
        return code;
    const DriverInfo &info = connection.info();
    const std::string name = info.name != nullptr ? info.name : "";
    const std::string banner = Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    const std::string path = connection.library().path();
    std::string out;
    switch (options.format) {
    case Format::Text:
        out = "driver      " + name + " (driver code " + std::to_string(info.driverCode) + ")\n" +
              "library     " + path + "\n" + "line        " + std::to_string(info.baudRate) +
              " baud, " + std::to_string(info.dataBits) + " data bits, " + ParityName(info.parity) +
              " parity, " + StopBitsName(info.stopBits) + " stop bit(s)\n" + "instance    " +
              std::to_string(info.contextSize) + " bytes per VPI\n" + "banner" + banner + "\n";
        break;
    case Format::Csv:
        out = "field,value\nname," + CsvField(name) + "\ndriverCode," +
              std::to_string(info.driverCode) + "\nlibrary," + CsvField(path) + "\nbaudRate," +
              std::to_string(info.baudRate) + "\ndataBits," + std::to_string(info.dataBits) +
              "\nparity," + ParityName(info.parity) + "\nstopBits," + StopBitsName(info.stopBits) +
              "\ncontextSize," + std::to_string(info.contextSize) + "\nbanner," + CsvField(banner) +
              "\n";
        break;
    case Format::Json:
        out =
            "{\"name\":" + JsonString(name) + ",\"driverCode\":" + std::to_string(info.driverCode) +
            ",\"library\":" + JsonString(path) + ",\"baudRate\":" + std::to_string(info.baudRate) +
            ",\"dataBits\":" + std::to_string(info.dataBits) +
            ",\"parity\":" + JsonString(ParityName(info.parity)) +
            ",\"stopBits\":" + JsonString(StopBitsName(info.stopBits)) +
            ",\"contextSize\":" + std::to_string(info.contextSize) +
            ",\"banner\":" + JsonString(banner) + "}\n";
        break;
    }
    Print(out);
    return kExitOk;
}

int RunRead(const CommonOptions &options, const std::vector<TagRequest> &tags) {
    Connection connection;
    if (const int code = connection.Open(options); code != kExitOk)
        return Failed(options, connection, code);
    if (options.format == Format::Csv)
        Print(CsvHeader(false, options.hexColumn));
    int exitCode = kExitOk;
    for (const auto &tag : tags) {
        if (StopRequested())
            break;
        TagLayout layout;
        TagReport report;
        if (!connection.ParseTag(tag.gas, tag.count, layout)) {
            report = ReportFor(options, tag.gas, TagLayout{});
            report.status = LineStatus::Refused;
            report.gasRejected = true;
            report.reason = connection.lastError();
        } else {
            report = ReportFor(options, tag.gas, layout);
            std::vector<uint16_t> buffer(BufferWords(layout), 0);
            report.status = connection.Transfer(false, tag.gas, layout, buffer, report.reason);
            if (report.status == LineStatus::Ok) {
                report.values =
                    DecodeValues(layout, buffer, ValueTypeFor(options, layout), options.wordOrder);
            }
        }
        Print(FormatReport(options.format, report, RoundStamp{}));
        exitCode = WorseExitCode(exitCode, ExitCodeForStatus(report.status));
    }
    return exitCode;
}

int RunWrite(const CommonOptions &options, const std::string &gas,
             const std::vector<std::string> &texts) {
    const bool floats = options.type == ValueType::Float32 && TypeForGas(gas) == kTypePair;
    std::vector<int64_t> values;
    for (const auto &text : texts) {
        const auto value = floats ? ParseFloatBits(text) : ParseNumber(text);
        if (!value) {
            std::fprintf(stderr, "vpisd-cli: %s is not a number (%s)\n", text.c_str(),
                         floats ? "a decimal fraction such as 3.14 or 1e-3" : "decimal or 0x hex");
            return kExitUsage;
        }
        values.push_back(*value);
    }
    if (TypeForGas(gas) == kTypeBit && values.size() != 1) {
        std::fprintf(stderr, "vpisd-cli: %s takes exactly one value\n", gas.c_str());
        return kExitUsage;
    }
    Connection connection;
    if (const int code = connection.Open(options); code != kExitOk)
        return Failed(options, connection, code);
    TagLayout layout;
    TagReport report;
    if (!connection.ParseTag(gas, static_cast<int32_t>(values.size()), layout)) {
        report = ReportFor(options, gas, TagLayout{});
        report.write = true;
        report.status = LineStatus::Refused;
        report.gasRejected = true;
        report.reason = connection.lastError();
    } else {
        std::vector<uint16_t> buffer(BufferWords(layout), 0);
        std::string error;
        if (!EncodeValues(layout, values, options.wordOrder, buffer, error)) {
            std::fprintf(stderr, "vpisd-cli: %s: %s\n", gas.c_str(), error.c_str());
            return kExitUsage;
        }
        report = ReportFor(options, gas, layout);
        report.write = true;
        report.values = values;
        report.status = connection.Transfer(true, gas, layout, buffer, report.reason);
    }
    if (options.format == Format::Csv)
        Print(CsvHeader(false, options.hexColumn));
    Print(FormatReport(options.format, report, RoundStamp{}));
    return ExitCodeForStatus(report.status);
}

int RunVersion(const CommonOptions &options) {
    Print(std::string("vpisd-cli ") + VPISD_VERSION + "\n");
    Connection connection;
    if (const int code = connection.LoadDriver(options); code != kExitOk)
        return code;
    const DriverInfo &info = connection.info();
    // The banner carries the driver's own version: "... Version 7.04 ...".
    static const std::regex version("Version ([0-9][0-9.]*)");
    std::cmatch match;
    const char *banner = info.banner != nullptr ? info.banner : "";
    const std::string driverVersion =
        std::regex_search(banner, match, version) ? match[1].str() : "unknown";
    Print(std::string("driver ") + (info.name != nullptr ? info.name : "?") + " version " +
          driverVersion + "\nlibrary " + connection.library().path() + "\n");
    return kExitOk;
}

int RunCheckInit(const std::string &file) {
    const std::optional<std::string> text = ReadWholeFile(file);
    if (!text) {
        std::fprintf(stderr, "vpisd-cli: cannot read %s\n", file.c_str());
        return kExitUsage;
    }
    const InitCheck check = CheckInitText(*text);
    Print(FormatInitCheck(check, file));
    return check.Clean() ? kExitOk : kExitRefused;
}

} // namespace vpisd::cli
