// The driver reads its init file by a bare name from the current directory. The host gives it
// a private temporary directory holding just the file the user named, and removes it at exit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vpisd::host {

// "vpiSD%.2d.int" for the VPI number, the name the driver tries first.
std::string InitFileName(int32_t vpiNumber);
// The file of `dir` that the driver would load for the VPI: the numbered name, else "vpiSD.int".
std::optional<std::string> FindInitFile(const std::string &dir, int32_t vpiNumber);

class WorkDir {
  public:
    WorkDir() = default;
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    // `init` is an init file (copied under the numbered name), a directory holding one (copied
    // under its own name), or empty (the init files of the current directory are copied, so the
    // driver sees what it would see there). Then the new directory, named after `program`,
    // becomes the current one.
    bool Prepare(const std::string &init, int32_t vpiNumber, const std::string &program,
                 std::string &error);
    // For a host of several VPIs: every init file of `inits` (VPI number, file) is copied under
    // its VPI's numbered name into one new directory named after `program`, which becomes the
    // current one. A VPI without a file is left out (peer to peer).
    bool PrepareMany(const std::vector<std::pair<int32_t, std::string>> &inits,
                     const std::string &program, std::string &error);
    const std::string &path() const { return path_; }
    // The file the routes come from, empty when there is none (peer to peer).
    const std::string &initSource() const { return initSource_; }

  private:
    bool Create(const std::string &program, std::string &error);
    // Makes the new directory the current one; `here` is where the destructor returns.
    bool MoveIn(const std::filesystem::path &here, std::string &error);

    std::string program_; // names the directory and prefixes the one message of the destructor
    std::string path_;
    std::string previous_;
    std::string initSource_;
};

// Runs `work` on a thread of its own whose current directory is its own (Linux's
// unshare(CLONE_FS)), and waits for it: a WorkDir prepared there moves that thread alone, so
// that a VPI another thread starts meanwhile still reads the init files of the process's
// directory. False, with `error`, when the thread cannot have a directory of its own; `work`
// has not run then.
bool RunInOwnDirectory(const std::function<void()> &work, std::string &error);

// Removes every prepared directory with async-signal-safe calls only; for a signal handler.
void EmergencyRemoveWorkDirs();

} // namespace vpisd::host
