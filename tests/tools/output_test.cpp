// The three output formats, the summary of driver messages and the poll statistics.
#include <gtest/gtest.h>

#include "output.h"
#include "poll_statistics.h"

namespace vpisd::cli {
namespace {

TagReport Block() {
    TagReport report;
    report.gas = "P10100";
    report.hexDigits = 4;
    report.names = {"P10100", "P10101"};
    report.values = {-1, 4660};
    return report;
}

TEST(Output, TextShowsEachValueWithItsHexWord) {
    EXPECT_EQ(FormatReport(Format::Text, Block(), {}),
              "P10100 = -1 (0xFFFF)\nP10101 = 4660 (0x1234)\n");
    TagReport pair = Block();
    pair.hexDigits = 8;
    pair.values = {-2, 1};
    EXPECT_EQ(FormatReport(Format::Text, pair, {}),
              "P10100 = -2 (0xFFFFFFFE)\nP10101 = 1 (0x00000001)\n");
    TagReport route;
    route.gas = "P1!ROUTE";
    route.route = true;
    route.values = {2};
    EXPECT_EQ(FormatReport(Format::Text, route, {}), "P1!ROUTE = 2 (backup route)\n");
    TagReport failed = Block();
    failed.status = LineStatus::NoAnswer;
    EXPECT_EQ(FormatReport(Format::Text, failed, {}), "P10100: no answer\n");
    TagReport written = Block();
    written.write = true;
    EXPECT_EQ(FormatReport(Format::Text, written, {}).substr(0, 21), "P10100 <- -1 (0xFFFF)");
}

TEST(Output, CsvRowsCarryTheRoundWhenPolling) {
    EXPECT_EQ(FormatReport(Format::Csv, Block(), {}), "P10100,-1,ok\nP10101,4660,ok\n");
    EXPECT_EQ(FormatReport(Format::Csv, Block(), {3, "10:00:00.000"}),
              "3,10:00:00.000,P10100,-1,ok\n3,10:00:00.000,P10101,4660,ok\n");
    TagReport failed = Block();
    failed.status = LineStatus::Refused;
    failed.gasRejected = true;
    EXPECT_EQ(FormatReport(Format::Csv, failed, {}), "P10100,,bad GAS\n");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("plain"), "plain");
}

TEST(Output, JsonIsOneEscapedObjectPerTag) {
    EXPECT_EQ(
        FormatReport(Format::Json, Block(), {}),
        R"({"gas":"P10100","operation":"read","status":"ok","values":[{"gas":"P10100","value":-1},{"gas":"P10101","value":4660}]})"
        "\n");
    TagReport failed = Block();
    failed.status = LineStatus::Refused;
    EXPECT_EQ(
        FormatReport(Format::Json, failed, {2, "t"}),
        R"({"round":2,"time":"t","gas":"P10100","operation":"read","status":"refused","values":[]})"
        "\n");
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), R"("a\"b\\c\u000a\u0001")");
}

TEST(Output, RepeatedDriverMessagesAreCountedOnce) {
    const std::vector<std::string> events{"link", "ok", "link", "ok", "failed"};
    EXPECT_EQ(SummarizeEvents(events),
              (std::vector<std::string>{"link (2 times)", "ok (2 times)", "failed"}));
    EXPECT_TRUE(SummarizeEvents({}).empty());
}

TEST(PollStatisticsTest, RetriesAndNaksAreReadFromTheDriversTraces) {
    PollStatistics stats;
    const char *traces[] = {
        "VPISD: Read Retries = 1 GAS=P10001",
        "VPISD: Write Retries = 2",
        "VPISD:EstablishLinkToPlc() Retry 1",
        "VPISD:ReadAckResponse() Char[0] = 10 Char[1] = 15",
        "VPISD:ReadAckResponse() Char[0] = 10 Char[1] = 11",
        "VPISD:ReadAckResponse() ACK received OK",
    };
    for (const char *trace : traces)
        stats.CountTrace(trace);
    EXPECT_EQ(stats.retries, 3);
    EXPECT_EQ(stats.naks, 1);
}

TEST(PollStatisticsTest, LossIsTheShareOfFailedRequests) {
    PollStatistics stats;
    EXPECT_EQ(stats.LossPercent(), 0.0);
    const std::pair<LineStatus, double> requests[] = {{LineStatus::Ok, 40.0},
                                                      {LineStatus::Ok, 60.0},
                                                      {LineStatus::NoAnswer, 2000.0},
                                                      {LineStatus::Refused, 10.0}};
    for (const auto &[status, ms] : requests)
        stats.Count(status, ms);
    stats.rounds = 2;
    EXPECT_EQ(stats.requests, 4);
    EXPECT_EQ(stats.replies, 2);
    EXPECT_EQ(stats.errors(), 2);
    EXPECT_DOUBLE_EQ(stats.LossPercent(), 50.0);
    // Response times are those of accepted replies only.
    EXPECT_EQ(stats.minMs, 40.0);
    EXPECT_EQ(stats.maxMs, 60.0);
    EXPECT_EQ(stats.AverageMs(), 50.0);
    const std::string text = FormatStatistics(Format::Text, stats, "/dev/pts/3");
    EXPECT_NE(text.find("--- /dev/pts/3 poll statistics ---"), std::string::npos) << text;
    EXPECT_NE(
        text.find(
            "4 requests sent, 2 replies received, 2 errors (1 refused, 1 no answer), 50.0% loss"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("response time min/avg/max = 40.0/50.0/60.0 ms"), std::string::npos)
        << text;
    const std::string json = FormatStatistics(Format::Json, stats, "a\"b");
    EXPECT_NE(json.find(R"("port":"a\"b")"), std::string::npos) << json;
}

} // namespace
} // namespace vpisd::cli
