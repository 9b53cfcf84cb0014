// describe, the library search and the command line's own errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

// Code points in UTF-8 text.
size_t Width(const std::string &text) {
    size_t n = 0;
    for (const char c : text)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

TEST(Describe, BannerIsShownAsAFramedBoxInUtf8) {
    const CliResult r = RunCli({"--lib", VPISD_LIBRARY_PATH, "describe"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    std::vector<std::string> box;
    for (const auto &line : lines) {
        if (line.starts_with("┌") || line.starts_with("│") || line.starts_with("└"))
            box.push_back(line);
    }
    ASSERT_EQ(box.size(), 6u) << r.out;
    for (const auto &line : box)
        EXPECT_EQ(Width(line), 62u) << line;
    EXPECT_TRUE(box[0].ends_with("┐"));
    EXPECT_TRUE(box[5].ends_with("┘"));
    EXPECT_NE(r.out.find("SquareD"), std::string::npos);
}

TEST(Describe, FormatsAgreeOnTheInstanceSize) {
    const CliResult text = RunCli({"--lib", VPISD_LIBRARY_PATH, "describe"});
    const CliResult csv = RunCli({"--lib", VPISD_LIBRARY_PATH, "--format", "csv", "describe"});
    const CliResult json = RunCli({"--lib", VPISD_LIBRARY_PATH, "-f", "JSON", "describe"});
    ASSERT_EQ(csv.exitCode, 0);
    ASSERT_EQ(json.exitCode, 0);
    std::string size;
    for (const auto &line : Lines(csv.out)) {
        if (line.starts_with("contextSize,"))
            size = line.substr(12);
    }
    ASSERT_FALSE(size.empty()) << csv.out;
    EXPECT_NE(text.out.find("instance    " + size + " bytes"), std::string::npos) << text.out;
    EXPECT_NE(json.out.find("\"contextSize\":" + size + ","), std::string::npos) << json.out;
    EXPECT_EQ(Lines(json.out).size(), 1u); // the banner's line feeds are escaped
}

TEST(Describe, LibraryThatCannotServeExitsFive) {
    EXPECT_EQ(RunCli({"--lib", "/nonexistent/libvpisd.so", "describe"}).exitCode, 5);
    const CliResult wrong = RunCli({"--lib", "libm.so.6", "describe"});
    EXPECT_EQ(wrong.exitCode, 5);
    EXPECT_NE(wrong.err.find("no VpiMain"), std::string::npos) << wrong.err;
}

TEST(Describe, LibraryIsFoundWithoutTheOption) {
    const CliResult r = RunCli({"describe"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The tool names the file it loaded, which may be a link to the versioned library.
    const size_t at = r.out.find("library");
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t start = r.out.find('/', at);
    const std::string loaded = r.out.substr(start, r.out.find('\n', start) - start);
    EXPECT_EQ(std::filesystem::canonical(loaded), std::filesystem::canonical(VPISD_LIBRARY_PATH));
}

TEST(CommandLine, MistakesExitFourAndHelpExitsZero) {
    EXPECT_EQ(RunCli({}).exitCode, 4);
    EXPECT_EQ(RunCli({"frobnicate"}).exitCode, 4);
    EXPECT_EQ(RunCli({"read"}).exitCode, 4);
    EXPECT_EQ(RunCli({"--parity", "sometimes", "describe"}).exitCode, 4);
    EXPECT_EQ(RunCli({"--lib", VPISD_LIBRARY_PATH, "read", "001234"}).exitCode, 4); // no port
    EXPECT_EQ(RunCli({"--port", "ttyS0", "read", "001234:x"}).exitCode, 4);
    const CliResult help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    // The help teaches the GAS forms.
    for (const char *form : {"P10100", "P10101F", "P1010003", "P1!ROUTE", "001234"}) {
        EXPECT_NE(help.out.find(form), std::string::npos) << form;
    }
}

TEST(CommandLine, VersionNamesToolDriverAndLibrary) {
    const CliResult r = RunCli({"--lib", VPISD_LIBRARY_PATH, "--version"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(lines[0].starts_with("vpisd-cli ")) << lines[0];
    EXPECT_NE(lines[0].find_first_of("0123456789"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "driver SquareD version 7.04");
    EXPECT_EQ(lines[2], std::string("library ") + VPISD_LIBRARY_PATH);
}

TEST(CommandLine, HelpShowsNoParserNotation) {
    for (const char *command : {"", "read", "write", "poll", "check-init"}) {
        std::vector<std::string> args;
        if (*command != '\0')
            args.push_back(command);
        args.push_back("--help");
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 0) << command;
        for (const char *internal : {"TEXT", "INT", "UINT", "->", " in [", "REQUIRED", "{"}) {
            EXPECT_EQ(r.out.find(internal), std::string::npos)
                << command << " help shows " << internal << ":\n"
                << r.out;
        }
    }
}

} // namespace
} // namespace vpisd::cli::test
