// The tool's commands. Each returns an exit code (exit_codes.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/line_options.h"
#include "host/value_codec.h"
#include "output.h"
#include "value_buffer.h"

namespace vpisd::cli {

using namespace vpisd::host;

struct CommonOptions {
    std::string library; // --lib
    LineOptions line;    // port, VPI number and timeout; the line settings below fill the rest
    std::optional<uint32_t> baudRate;
    std::optional<uint16_t> dataBits;
    std::optional<uint16_t> stopBits;
    std::optional<uint16_t> parity;
    std::string init; // --init: file or directory
    bool trace = false;
    int verbosity = 0;
    Format format = Format::Text;
    WordOrder wordOrder = WordOrder::HighFirst;
    bool asSigned = false;
    // --type: the type of the values of its width (uint16/int16 for registers; uint32, int32,
    // float32 for pairs); unset ("int"): unsigned, or signed with --signed.
    std::optional<ValueType> type;
    bool hexColumn = false; // --hex: csv and json carry hex as well
};

struct PollOptions {
    int intervalMs = 1000;
    int rounds = 0; // 0: until interrupted
};

// A GAS and the number of values to read from it ("P10100:8" is P10100 with 8 values).
struct TagRequest {
    std::string gas;
    int32_t count = 1;
};

// "GAS" or "GAS:N"; the count defaults to `count`. nullopt for a malformed count.
std::optional<TagRequest> ParseTagRequest(const std::string &text, int32_t count);

int RunDescribe(const CommonOptions &options);
// Tool version, driver version and the library's path.
int RunVersion(const CommonOptions &options);
// Reads an init file as the driver does and explains every problem; 0 when clean, 1 otherwise.
int RunCheckInit(const std::string &file);
int RunRead(const CommonOptions &options, const std::vector<TagRequest> &tags);
int RunWrite(const CommonOptions &options, const std::string &gas,
             const std::vector<std::string> &values);
int RunPoll(const CommonOptions &options, const std::vector<TagRequest> &tags,
            const PollOptions &poll);
// The heading of a tag's report as the options want it shown.
TagReport ReportFor(const CommonOptions &options, const std::string &gas, const TagLayout &layout);
// The type a tag's values are read as: its width, with --signed and --type.
ValueType ValueTypeFor(const CommonOptions &options, const TagLayout &layout);

} // namespace vpisd::cli
