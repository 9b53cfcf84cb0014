// The driver's own messages at start, sorted by the one classification every host uses.
#include <gtest/gtest.h>

#include <fstream>

#include "host/driver_library.h"
#include "host/host_log.h"
#include "host/init_file_messages.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace vpisd::host {
namespace {

struct Case {
    const char *what;
    const char *file; // written into the VPI's directory; nullptr: none
    std::string text;
    InitFileMessage expected; // of every message the start gives
};

// The messages of a VPI started (without a port) on `c`'s init file, then of parsing `gas`.
std::vector<std::string> StartMessages(const DriverLibrary &library, const Case &c,
                                       const std::string &gas = "") {
    WorkDir dir;
    std::string error;
    EXPECT_TRUE(dir.PrepareMany({}, "test_host", error)) << error;
    if (c.file != nullptr)
        std::ofstream(c.file, std::ios::binary) << c.text;
    VpiSession session(library);
    TakeRecentEvents();
    LineOptions line;
    line.vpiNumber = 1;
    session.LoadRoutes(line, session.Describe().contextSize);
    if (!gas.empty()) {
        TakeRecentEvents();
        TagLayout layout;
        EXPECT_NE(session.Parse(gas, 1, layout), 0) << gas;
    }
    return TakeRecentEvents();
}

TEST(InitFileMessages, EachOfTheDriversStartMessagesIsSorted) {
    DriverLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load({VPISD_LIBRARY_PATH}, error)) << error;
    std::string hundredLines;
    for (int i = 0; i < 100; ++i)
        hundredLines += "P1=001\n";
    const Case cases[] = {
        {"no file", nullptr, "", InitFileMessage::NotFound},
        {"the older name", "vpiSD.int", "P1=001\n", InitFileMessage::OlderName},
        {"an illegal line", "vpiSD01.int", "P1=0\n", InitFileMessage::Complaint},
        {"a drop out of range", "vpiSD01.int", "P1=001+300\n", InitFileMessage::Complaint},
        {"drop 44 in a backup", "vpiSD01.int", "P1=001,044\n", InitFileMessage::Complaint},
        {"an illegal character", "vpiSD01.int", "P1=001#\n", InitFileMessage::Complaint},
        {"a line too long", "vpiSD01.int", "P1=" + std::string(70, '1') + "\n",
         InitFileMessage::Complaint},
        {"too many lines", "vpiSD01.int", hundredLines, InitFileMessage::Complaint},
    };
    for (const Case &c : cases) {
        const std::vector<std::string> messages = StartMessages(library, c);
        EXPECT_FALSE(messages.empty()) << c.what;
        for (const std::string &message : messages)
            EXPECT_EQ(ClassifyInitFileMessage(message), c.expected) << c.what << ": " << message;
    }
    // A clean file says nothing; the parser's complaints are not about the init file.
    const Case clean{"clean", "vpiSD01.int", "P1=001\n", {}};
    EXPECT_TRUE(StartMessages(library, clean).empty());
    for (const char *gas : {"P1010017", "Q10100"}) {
        const std::vector<std::string> messages = StartMessages(library, clean, gas);
        EXPECT_FALSE(messages.empty()) << gas;
        for (const std::string &message : messages)
            EXPECT_EQ(ClassifyInitFileMessage(message), InitFileMessage::None) << message;
    }
}

} // namespace
} // namespace vpisd::host
