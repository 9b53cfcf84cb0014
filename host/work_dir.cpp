#include "host/work_dir.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace vpisd::host {
namespace {

constexpr const char *kOlderInitName = "vpiSD.int";

// What the signal handler needs, kept in fixed storage: the directory and the one file in it.
constexpr size_t kPathMax = 512;
char emergencyDir[kPathMax];
char emergencyFile[kPathMax];

void Remember(char (&slot)[kPathMax], const std::string &path) {
    if (path.size() < kPathMax)
        std::memcpy(slot, path.c_str(), path.size() + 1);
}

bool CopyInto(const fs::path &from, const fs::path &to, std::string &error) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) {
        error = "init file " + from.string() + " not found";
        return false;
    }
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = "cannot copy init file " + from.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::optional<fs::path> CurrentDirectory(std::string &error) {
    std::error_code ec;
    fs::path here = fs::current_path(ec);
    if (ec) {
        error = "cannot read the current directory: " + ec.message();
        return std::nullopt;
    }
    return here;
}

} // namespace

std::string InitFileName(int32_t vpiNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "vpiSD%.2d.int", static_cast<int>(vpiNumber));
    return name;
}

std::optional<std::string> FindInitFile(const std::string &dir, int32_t vpiNumber) {
    std::error_code ec;
    for (const std::string &name : {InitFileName(vpiNumber), std::string(kOlderInitName)}) {
        const fs::path candidate = fs::path(dir) / name;
        if (fs::is_regular_file(candidate, ec))
            return candidate.string();
    }
    return std::nullopt;
}

WorkDir::~WorkDir() {
    if (path_.empty())
        return;
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot return to %s\n", program_.c_str(), previous_.c_str());
    }
    std::error_code ec;
    fs::remove_all(path_, ec);
    emergencyDir[0] = '\0';
    emergencyFile[0] = '\0';
}

bool WorkDir::Create(const std::string &program, std::string &error) {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::string pattern = ((ec ? fs::path("/tmp") : base) / (program + ".XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a temporary directory: " + std::string(std::strerror(errno));
        return false;
    }
    program_ = program;
    path_ = pattern;
    return true;
}

bool WorkDir::MoveIn(const fs::path &here, std::string &error) {
    previous_ = here.string();
    if (chdir(path_.c_str()) != 0) {
        error = "cannot enter " + path_;
        previous_.clear();
        return false;
    }
    return true;
}

bool WorkDir::Prepare(const std::string &init, int32_t vpiNumber, const std::string &program,
                      std::string &error) {
    std::error_code ec;
    const std::optional<fs::path> here = CurrentDirectory(error);
    if (!here)
        return false;
    fs::path source;
    bool keepName = true; // a file found in a directory keeps its name, older name included
    if (init.empty()) {
        if (auto found = FindInitFile(here->string(), vpiNumber))
            source = *found;
    } else if (fs::is_directory(init, ec)) {
        const auto found = FindInitFile(init, vpiNumber);
        if (!found) {
            error = "no " + InitFileName(vpiNumber) + " or " + kOlderInitName + " in " + init;
            return false;
        }
        source = *found;
    } else {
        source = init;
        keepName = false;
        if (!fs::is_regular_file(source, ec)) {
            error = "init file " + init + " not found";
            return false;
        }
    }
    const std::string target = keepName ? source.filename().string() : InitFileName(vpiNumber);
    if (!Create(program, error))
        return false;
    Remember(emergencyDir, path_);
    if (!source.empty()) {
        const fs::path copy = fs::path(path_) / target;
        Remember(emergencyFile, copy.string());
        if (!CopyInto(source, copy, error))
            return false;
        initSource_ = source.string();
    }
    return MoveIn(*here, error);
}

bool WorkDir::PrepareMany(const std::vector<std::pair<int32_t, std::string>> &inits,
                          const std::string &program, std::string &error) {
    const std::optional<fs::path> here = CurrentDirectory(error);
    if (!here)
        return false;
    if (!Create(program, error))
        return false;
    for (const auto &[vpiNumber, source] : inits) {
        if (!source.empty() && !CopyInto(fs::absolute(*here / source),
                                         fs::path(path_) / InitFileName(vpiNumber), error))
            return false;
    }
    return MoveIn(*here, error);
}

bool RunInOwnDirectory(const std::function<void()> &work, std::string &error) {
    bool ran = false;
    std::exception_ptr failure;
    std::thread thread([&] {
        if (unshare(CLONE_FS) != 0) {
            error = "cannot give a thread a working directory of its own: " +
                    std::string(std::strerror(errno));
            return;
        }
        try {
            work();
            ran = true;
        } catch (...) {
            failure = std::current_exception();
        }
    });
    thread.join();
    if (failure)
        std::rethrow_exception(failure);
    return ran;
}

void EmergencyRemoveWorkDirs() {
    if (emergencyFile[0] != '\0')
        unlink(emergencyFile);
    if (emergencyDir[0] != '\0')
        rmdir(emergencyDir);
}

} // namespace vpisd::host
