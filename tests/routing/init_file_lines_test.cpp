// Reading the init file line by line: characters, line ends, length and line count limits.

#include <cstring>

#include "routing_fixture.h"

namespace vpisd::test {
namespace {

const std::string kTooMany = "VpiSD : Too many lines in Init file)";

std::string Illegal(const std::string &kept) {
    return "VPISD: Route " + kept + ", Illegal character";
}
std::string TooLong(const std::string &kept) {
    return "VPISD: Route " + kept + " too long in Init File";
}

// Two legal characters per PLC name: a letter and a letter or digit, unique per line.
std::string LegalLine(int n) {
    std::string name = {static_cast<char>('A' + n / 26), static_cast<char>('A' + n % 26)};
    return name + "=" + std::to_string(100 + n % 156) + "\n";
}

TEST_F(InitFileTest, WorkedExampleStopsAtTheEmptyLine) {
    cwd.WriteFile("vpiSD03.int", "P1=1+5,2+5\nP2 = 10 + 255\nAB=7\n\nP5=1+2\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P1", {1, 5, 0x2C, 2, 5}));
    EXPECT_EQ(SlotHex(*context, 2), Slot("P2", {10, 255}));
    EXPECT_EQ(SlotHex(*context, 3), Slot("AB", {7}));
    EXPECT_EQ(FilledSlots(), 3);
    EXPECT_EQ(CountLog(32, "VpiSD :VPI 3 Line 3 in Init File is illegal"), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

TEST_F(InitFileTest, EmptyFirstLineOrUnfinishedLineLoadsNothingQuietly) {
    for (const char *content : {"\nP1=1+5\n", "P1=1+5", "   \nP1=1+5\n", "", "\r\nP1=101\n"}) {
        cwd.WriteFile("vpiSD03.int", content);
        EXPECT_EQ(Load(3), 1) << content;
        EXPECT_EQ(FilledSlots(), 0) << content;
    }
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(InitFileTest, CarriageReturnBeforeLineFeedIsPartOfTheLineEnd) {
    cwd.WriteFile("vpiSD03.int", "P1=1+5,2+5\r\nP2=10+255\r\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P1", {1, 5, 0x2C, 2, 5}));
    EXPECT_EQ(SlotHex(*context, 2), Slot("P2", {10, 255}));
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

struct IllegalCase {
    const char *secondLine;
    const char *kept;
};

std::ostream &operator<<(std::ostream &out, const IllegalCase &c) {
    return out << '"' << c.secondLine << '"';
}

class IllegalCharacterTest : public InitFileTest,
                             public ::testing::WithParamInterface<IllegalCase> {};

TEST_P(IllegalCharacterTest, EndsLoadingAtThatLine) {
    cwd.WriteFile("vpiSD03.int", std::string("P1=101\n") + GetParam().secondLine + "\nP3=103\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 1), Slot("P1", {101}));
    EXPECT_EQ(FilledSlots(), 1);
    EXPECT_EQ(CountLog(32, Illegal(GetParam().kept)), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

INSTANTIATE_TEST_SUITE_P(
    Characters, IllegalCharacterTest,
    ::testing::Values(IllegalCase{"P2\t=1+2", "P2"}, IllegalCase{"P2=1-2", "P2=1"},
                      IllegalCase{"P2 = 1;", "P2=1"}, IllegalCase{"-P2=102", ""},
                      IllegalCase{"P2=1\r2", "P2=1"}, IllegalCase{"P2=102\r\r", "P2=102"},
                      IllegalCase{"P2=1\xC4", "P2=1"}, IllegalCase{"P2=%s%s%n", "P2="},
                      IllegalCase{"P2=1.2", "P2=1"}));

TEST_F(InitFileTest, SixtySixCharactersBeforeTheLineEnd) {
    const std::string route = "P2=102";
    const std::string longest = route + std::string(66 - route.size(), ' ');
    cwd.WriteFile("vpiSD03.int", "P1=101\n" + longest + "\r\n" + longest + " \nP3=103\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(SlotHex(*context, 2), Slot("P2", {102}));
    EXPECT_EQ(FilledSlots(), 2);
    EXPECT_EQ(CountLog(32, TooLong("P2=102")), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

TEST_F(InitFileTest, NinetyNineLinesFillEverySlot) {
    std::string content;
    for (int n = 1; n <= 99; ++n) {
        content += LegalLine(n);
    }
    cwd.WriteFile("vpiSD03.int", content + "\nZZ=255\n");
    EXPECT_EQ(Load(3), 1);
    EXPECT_EQ(FilledSlots(), 99);
    EXPECT_EQ(context->routes[0][0], 0);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();

    context = ZeroContext();
    cwd.WriteFile("vpiSD03.int", content + "ZZ=255\n" + "ZY=254\n");
    EXPECT_EQ(Load(3), 0);
    EXPECT_EQ(FilledSlots(), 99);
    for (int n = 1; n <= 99; ++n) {
        const std::string line = LegalLine(n);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(context->routes[n]), 2),
                  line.substr(0, 2));
    }
    EXPECT_EQ(CountLog(32, kTooMany), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

// The text held in memory goes through the same line logic as the file: same slots, same
// messages, same result.
TEST_F(InitFileTest, TextInMemoryLoadsAsTheFileDoes) {
    std::string hundred;
    for (int n = 1; n <= 100; ++n) {
        hundred += LegalLine(n);
    }
    const std::string contents[] = {
        "P1=1+5,2+5\nP2 = 10 + 255\nAB=7\n\nP5=1+2\n",
        "P1=1+5,2+5\r\nP2=10+255\r\nP3=1+2",
        "P1=101\nP2=1\r2\nP3=103\n",
        "P1=101\n" + std::string(67, ' ') + "\n",
        "P4=257,3+0\nP1=1+44,44\n",
        std::string("P1=101\n\0P2=102\n", 15),
        hundred,
        "",
    };
    for (const std::string &content : contents) {
        SCOPED_TRACE(content);
        cwd.WriteFile("vpiSD03.int", content);
        ClearLog();
        context = ZeroContext();
        const int fromFile = Load(3);
        const std::vector<LogEntry> fileLog = LogEntries();
        const auto fileRoutes = std::make_unique<VpiContext>(*context);

        ClearLog();
        context = ZeroContext();
        EXPECT_EQ(LoadInitText(context.get(), 3, content.data(), content.size()), fromFile);
        EXPECT_EQ(std::memcmp(context->routes, fileRoutes->routes, sizeof context->routes), 0);
        const std::vector<LogEntry> textLog = LogEntries();
        ASSERT_EQ(textLog.size(), fileLog.size()) << LogDump();
        for (size_t i = 0; i < textLog.size(); ++i) {
            EXPECT_EQ(textLog[i].text, fileLog[i].text);
        }
    }
}

} // namespace
} // namespace vpisd::test
