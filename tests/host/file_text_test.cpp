// A whole file read as it is.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "host/file_text.h"

namespace vpisd::host {
namespace {

TEST(FileText, ReadsEveryByteOrTellsItCannot) {
    const std::string path = testing::TempDir() + "file_text_test." + std::to_string(getpid());
    const std::string bytes("P1 ROUTE 1\r\nP2\0\xFF\n", 17);
    std::ofstream(path, std::ios::binary) << bytes;
    EXPECT_EQ(ReadWholeFile(path), bytes);
    std::remove(path.c_str());
    EXPECT_EQ(ReadWholeFile(path), std::nullopt);
}

} // namespace
} // namespace vpisd::host
