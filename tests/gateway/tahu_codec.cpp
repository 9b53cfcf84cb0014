#include "tahu_codec.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vpisd::test {
namespace {

constexpr const char *kScript = VPISD_SPARKPLUG_CODEC;

// One node run over the lines; its output lines in order.
std::vector<std::string> RunCodec(const std::vector<std::string> &lines) {
    TempDir dir;
    const std::string input = dir.path() + "/input";
    {
        std::ofstream out(input);
        for (const std::string &line : lines)
            out << line << '\n';
    }
    const ChildResult result =
        RunChild("sh", {"-c", std::string("node '") + kScript + "' < '" + input + "'"}, 60000);
    std::vector<std::string> out;
    std::istringstream text(result.out);
    for (std::string line; std::getline(text, line);)
        out.push_back(line);
    return out;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string hex;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::vector<uint8_t> Bytes(const std::string &hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

std::string TahuMissing() {
    if (RunChild("sh", {"-c", "command -v node"}, 10000).exitCode != 0)
        return "node is not installed (scripts/ensure-test-tools.sh installs it)";
    struct stat info {};
    const std::string package = std::string(kScript).substr(0, std::string(kScript).rfind('/')) +
                                "/node_modules/sparkplug-payload";
    if (stat(package.c_str(), &info) != 0)
        return package + " is missing: run scripts/ensure-test-tools.sh";
    return "";
}

std::vector<nlohmann::json> TahuDecode(const std::vector<std::vector<uint8_t>> &payloads) {
    std::vector<std::string> lines;
    for (const auto &payload : payloads)
        lines.push_back(Hex(payload));
    std::vector<nlohmann::json> decoded;
    for (const std::string &line : RunCodec(lines))
        decoded.push_back(nlohmann::json::parse(line, nullptr, false));
    return decoded;
}

std::vector<std::vector<uint8_t>> TahuEncode(const std::vector<nlohmann::json> &payloads) {
    std::vector<std::string> lines;
    for (const auto &payload : payloads)
        lines.push_back(payload.dump());
    std::vector<std::vector<uint8_t>> encoded;
    for (const std::string &line : RunCodec(lines))
        encoded.push_back(Bytes(line));
    return encoded;
}

} // namespace vpisd::test
