#include "host/driver_library.h"

#include <dlfcn.h>

#include <filesystem>

namespace vpisd::host {

std::vector<std::string> LibraryCandidates(const std::string &explicitPath) {
    if (!explicitPath.empty())
        return {explicitPath};
    std::vector<std::string> candidates;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto dir = self.parent_path();
        candidates.push_back((dir / "../src/libvpisd.so").lexically_normal().string());
        candidates.push_back((dir / "../lib/libvpisd.so").lexically_normal().string());
        candidates.push_back((dir / "../lib" / VPISD_LIBRARY_SONAME).lexically_normal().string());
        candidates.push_back((dir / "libvpisd.so").string());
    }
    // The installed runtime library by its SONAME (no -dev package needed), then the build's own.
    candidates.emplace_back(VPISD_LIBRARY_SONAME);
#ifdef VPISD_BUILD_LIBRARY
    candidates.emplace_back(VPISD_BUILD_LIBRARY);
#endif
    candidates.emplace_back("libvpisd.so");
    return candidates;
}

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr)
        dlclose(handle_);
}

bool DriverLibrary::Load(const std::vector<std::string> &candidates, std::string &error) {
    error.clear();
    for (const auto &candidate : candidates) {
        // A bare name goes through the loader's search; a path must exist to be worth a try.
        const bool isPath = candidate.find('/') != std::string::npos;
        if (isPath && !std::filesystem::exists(candidate))
            continue;
        void *handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char *why = dlerror();
            error += std::string(why != nullptr ? why : candidate.c_str()) + "\n";
            continue;
        }
        auto entry = reinterpret_cast<MainFn>(dlsym(handle, "VpiMain"));
        if (entry == nullptr) {
            error += candidate + ": no VpiMain export\n";
            dlclose(handle);
            continue;
        }
        handle_ = handle;
        main_ = entry;
        path_ = candidate;
        error.clear();
        return true;
    }
    if (error.empty()) {
        error = "libvpisd.so not found (tried";
        for (const auto &candidate : candidates)
            error += " " + candidate;
        error += "); give its path with --lib\n";
    }
    error.pop_back();
    return false;
}

} // namespace vpisd::host
