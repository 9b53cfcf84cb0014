// The one check of a configuration file, for the start, every reload and --check alike: the
// file's own problems, then each line's init file loaded by the driver and the PLC names parsed
// against the routes it gave. Each init file is read once, by the check: what the check passed
// is what the lines load, whatever happens to the files afterwards.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "host/driver_library.h"
#include "host/work_dir.h"
#include "vpisd/vpi.h"

namespace vpisd::gateway {

struct CheckedConfig {
    std::shared_ptr<const Config> config;
    // initBytes[i]: config->lines[i]'s init file as the check read it; empty for peer to peer.
    std::vector<std::string> initBytes;
};

// The file's problems, then its init files' and PLC names' (also when the file has problems of
// its own, so that one pass names them all). nullopt when the file cannot be read or parsed.
std::optional<CheckedConfig> CheckConfigFile(const std::string &path,
                                             const host::DriverLibrary &library,
                                             const DriverInfo &info,
                                             std::vector<std::string> &problems);

// Line `line`'s checked init file into `dir` under its VPI's numbered name, where the driver
// looks for it; a peer-to-peer line's name is removed. False with the reason.
bool WriteInitFile(const std::string &dir, const CheckedConfig &checked, size_t line,
                   std::string &error);

// `workDir` prepared as the process's current directory, holding each line's checked init
// file (WriteInitFile). False with the reason.
bool PrepareWorkDir(host::WorkDir &workDir, const CheckedConfig &checked, std::string &error);

// One line each on stderr.
void ReportProblems(const std::vector<std::string> &problems);

// --check: every problem on stderr, or the summary on stdout; the exit status.
int ReportCheck(const std::string &configPath, const host::DriverLibrary &library,
                const DriverInfo &info);

} // namespace vpisd::gateway
