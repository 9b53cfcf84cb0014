#include "support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vpisd::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vpisd-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

std::vector<std::string> TempDir::List() const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    return names;
}

TempCwd::TempCwd() : previous_(std::filesystem::current_path().string()) {
    std::filesystem::current_path(path());
}

TempCwd::~TempCwd() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

ShortTmpName::ShortTmpName(size_t length) {
    std::string pattern = "/tmp/" + std::string(length - 11, 'v') + "XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed for " + pattern);
    close(fd);
    unlink(pattern.c_str());
    path_ = pattern;
}

ShortTmpName::~ShortTmpName() {
    unlink(path_.c_str());
}

} // namespace vpisd::test
