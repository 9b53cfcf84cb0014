#include "serial_support.h"

#include <dirent.h>

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

} // namespace vpisd::test
