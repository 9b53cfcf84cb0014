// libvpisd.so, loaded at run time and used through its one C export only.
#pragma once

#include <string>
#include <vector>

#include "vpisd/vpi.h"

namespace vpisd::host {

// Where to look for the library: the --lib value alone when given; otherwise next to this
// executable in a build tree or an install tree, the installed runtime library, the build's own
// path (not in packaged programs), then the plain name.
std::vector<std::string> LibraryCandidates(const std::string &explicitPath);

class DriverLibrary {
  public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary &) = delete;
    DriverLibrary &operator=(const DriverLibrary &) = delete;

    // Loads the first candidate that opens and exports VpiMain; on failure `error` says why.
    bool Load(const std::vector<std::string> &candidates, std::string &error);
    int32_t Call(const VpiRequest &request) const { return main_(&request); }
    const std::string &path() const { return path_; }

  private:
    using MainFn = int32_t (*)(const VpiRequest *);
    void *handle_ = nullptr;
    MainFn main_ = nullptr;
    std::string path_;
};

} // namespace vpisd::host
