#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vpisd/vpi.h"

namespace {

std::vector<std::string> DefinedDynamicSymbols(const std::string &library) {
    const std::string command = "nm -D --defined-only '" + library + "' 2>/dev/null";
    std::vector<std::string> names;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        const size_t space = text.rfind(' ');
        names.push_back(space == std::string::npos ? text : text.substr(space + 1));
    }
    pclose(pipe);
    return names;
}

TEST(Exports, VpiMainIsTheOnlyExportedFunction) {
    const auto names = DefinedDynamicSymbols(VPISD_LIBRARY_PATH);
    ASSERT_FALSE(names.empty()) << "nm found no symbols in " << VPISD_LIBRARY_PATH;
    EXPECT_EQ(names, std::vector<std::string>{"VpiMain"});
}

TEST(Exports, TheLoadedLibraryDescribesItselfThroughItsCAbi) {
    void *library = dlopen(VPISD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto vpiMain = reinterpret_cast<int32_t (*)(const VpiRequest *)>(dlsym(library, "VpiMain"));
    ASSERT_NE(vpiMain, nullptr);
    DriverInfo info{};
    VpiRequest request{nullptr, VPI_DESCRIBE, 0, 0, &info};
    EXPECT_EQ(vpiMain(&request), 0);
    EXPECT_STREQ(info.name, "SquareD");
    EXPECT_EQ(info.contextSize, 2944);
    EXPECT_EQ(vpiMain(nullptr), VPI_BAD_REQUEST);
    dlclose(library);
}

} // namespace
