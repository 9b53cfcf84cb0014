#include "gateway/config_check.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "gateway/gateway_options.h"
#include "gateway/lines/plc_name_check.h"
#include "host/endpoint.h"
#include "host/file_text.h"
#include "host/port_check.h"
#include "host/port_name.h"
#include "host/work_dir.h"

namespace vpisd::gateway {
namespace {

namespace fs = std::filesystem;

std::string WhereLine(const Config &config, size_t line) {
    return config.path + ":" + std::to_string(config.lines[line].fileLine) + ": line[" +
           std::to_string(line + 1) + "]";
}

// Each line's init file, read once. A file that cannot be read is a problem of its own unless
// the file's check already said it is not there.
std::vector<std::string> ReadInitFiles(const Config &config, bool fileHasProblems,
                                       std::vector<bool> &read,
                                       std::vector<std::string> &problems) {
    std::vector<std::string> bytes(config.lines.size());
    read.assign(config.lines.size(), false);
    for (size_t i = 0; i < config.lines.size(); ++i) {
        const std::string &init = config.lines[i].init;
        if (init.empty())
            continue;
        if (std::optional<std::string> text = host::ReadWholeFile(init)) {
            bytes[i] = std::move(*text);
            read[i] = true;
            continue;
        }
        std::error_code ec;
        if (!fileHasProblems || fs::is_regular_file(init, ec))
            problems.push_back(WhereLine(config, i) + ".init: cannot read init file " + init);
    }
    return bytes;
}

// The checked init files loaded by the driver and the PLC names against the routes they gave,
// in a directory that only the checking thread sees: a line that starts its VPI meanwhile (the
// lines run while a reload is checked) still reads its own from the process's directory.
void CheckInitFiles(const CheckedConfig &checked, const std::vector<bool> &read,
                    const host::DriverLibrary &library, const DriverInfo &info,
                    std::vector<std::string> &problems) {
    std::string error;
    const bool ran = host::RunInOwnDirectory(
        [&] {
            host::WorkDir checkDir;
            if (!checkDir.PrepareMany({}, "vpisd-gateway", error)) {
                problems.push_back(error);
                return;
            }
            for (size_t i = 0; i < read.size(); ++i) {
                if (read[i] && !WriteInitFile(checkDir.path(), checked, i, error)) {
                    problems.push_back(error);
                    return;
                }
            }
            CheckPlcNames(*checked.config, checked.initBytes, library, info, problems);
        },
        error);
    if (!ran)
        problems.push_back(error);
}

// A serial device that is not there (yet) is only a warning: it may be plugged in later.
std::vector<std::string> MissingDevices(const Config &config) {
    std::vector<std::string> warnings;
    for (size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig &line = config.lines[i];
        if (line.port.empty() || host::IsTcpPort(line.port))
            continue;
        const std::string device = host::DevicePath(line.port);
        struct stat status {};
        if (device != "NUL" && stat(device.c_str(), &status) != 0)
            warnings.push_back("warning: " + WhereLine(config, i) +
                               ".port: " + host::PortProblem(device));
    }
    return warnings;
}

} // namespace

std::optional<CheckedConfig> CheckConfigFile(const std::string &path,
                                             const host::DriverLibrary &library,
                                             const DriverInfo &info,
                                             std::vector<std::string> &problems) {
    const size_t before = problems.size();
    std::optional<Config> config = ReadConfig(path, problems);
    if (!config)
        return std::nullopt;
    std::vector<bool> read;
    std::vector<std::string> bytes =
        ReadInitFiles(*config, problems.size() != before, read, problems);
    CheckedConfig checked{std::make_shared<const Config>(std::move(*config)), std::move(bytes)};
    CheckInitFiles(checked, read, library, info, problems);
    return checked;
}

void ReportProblems(const std::vector<std::string> &problems) {
    for (const std::string &problem : problems)
        std::fprintf(stderr, "%s\n", problem.c_str());
}

bool WriteInitFile(const std::string &dir, const CheckedConfig &checked, size_t line,
                   std::string &error) {
    const LineConfig &config = checked.config->lines[line];
    const fs::path target = fs::path(dir) / host::InitFileName(config.vpi);
    std::error_code ec;
    if (config.init.empty()) {
        fs::remove(target, ec);
        return true;
    }
    // Written aside and renamed, so that a VPI starting meanwhile reads a whole file.
    const fs::path written = target.string() + ".new";
    {
        std::ofstream out(written, std::ios::binary | std::ios::trunc);
        out.write(checked.initBytes[line].data(),
                  static_cast<std::streamsize>(checked.initBytes[line].size()));
        if (out.flush())
            fs::rename(written, target, ec);
        if (out && !ec)
            return true;
    }
    fs::remove(written, ec);
    error = "cannot write init file " + config.init + " into " + dir;
    return false;
}

bool PrepareWorkDir(host::WorkDir &workDir, const CheckedConfig &checked, std::string &error) {
    if (!workDir.PrepareMany({}, "vpisd-gateway", error))
        return false;
    for (size_t i = 0; i < checked.config->lines.size(); ++i) {
        if (!WriteInitFile(workDir.path(), checked, i, error))
            return false;
    }
    return true;
}

int ReportCheck(const std::string &configPath, const host::DriverLibrary &library,
                const DriverInfo &info) {
    std::vector<std::string> problems;
    const std::optional<CheckedConfig> checked =
        CheckConfigFile(configPath, library, info, problems);
    if (!checked) {
        ReportProblems(problems);
        return kExitConfig;
    }
    const Config &config = *checked->config;
    const std::vector<std::string> warnings = MissingDevices(config);
    ReportProblems(warnings);
    if (!problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    std::string note;
    if (!warnings.empty())
        note = " (" + std::to_string(warnings.size()) +
               (warnings.size() == 1 ? " warning)" : " warnings)");
    std::printf("%s: %s, good%s%s\n", configPath.c_str(), Summary(config).c_str(),
                config.lines.empty() ? "; no [[line]]: the gateway serves nothing" : "",
                note.c_str());
    return kExitOk;
}

} // namespace vpisd::gateway
