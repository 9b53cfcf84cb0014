#include "serial_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

namespace vpisd::test {

int CountOpenFds() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the directory stream's own descriptor
}

ShortTmpName::ShortTmpName(size_t length) {
    std::string pattern = std::string("/tmp/") + std::string(length - 11, 'v') + "XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    unlink(pattern.c_str());
    path_ = pattern;
}

ShortTmpName::~ShortTmpName() {
    unlink(path_.c_str());
}

} // namespace vpisd::test
