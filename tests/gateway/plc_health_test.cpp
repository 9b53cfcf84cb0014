// The health of each PLC of a line as the HTTP faces show it: status.json, /metrics and the
// status page follow a PLC that falls silent and comes back, and the log names each turn once.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Json = nlohmann::json;

// The HTML of the table row `id`, empty when there is none.
std::string RowHtml(const std::string &dom, const std::string &id) {
    const size_t begin = dom.find("<tr id=\"" + id + "\"");
    return begin == std::string::npos ? "" : dom.substr(begin, dom.find("</tr>", begin) - begin);
}

// P2 falls silent and comes back: status.json, /metrics and the page each show every PLC of
// the init file (P3 has no unit) in its state, and the log says it once each way.
TEST(HttpEndpoint, PlcHealthShowsOnEveryFace) {
    TempDir dir;
    SimLine line =
        StartSimLine("[plc P1]\nroute = 1+5\n[plc P2]\nroute = 1+7\n[plc P3]\nroute = 1+9\n", dir);
    Gateway gateway(dir, HttpToml() + LineToml("north", line.port, 1, line.init, "demote_s = 1\n") +
                             UnitToml(1, "north", "P1") + UnitToml(2, "north", "P2"));
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    const double startedAt = static_cast<double>(std::time(nullptr));

    struct Plc {
        const char *name;
        const char *state;
        bool answeredOnce; // last_success set
        bool missedOnce;   // last_error set
        uint64_t demotions;
    };
    struct Phase {
        const char *what;
        std::vector<Plc> plcs;
    };
    using Face = std::function<void(const Phase &)>;
    const std::vector<std::pair<const char *, Face>> faces = {
        {"status.json",
         [&](const Phase &phase) {
             const Json status = Json::parse(HttpGet(gateway.httpPort(), "/status.json"));
             const Json &north = status["lines"][0];
             ASSERT_EQ(north["plcs"].size(), phase.plcs.size()) << north.dump();
             for (size_t i = 0; i < phase.plcs.size(); ++i) {
                 const Plc &want = phase.plcs[i];
                 const Json &plc = north["plcs"][i];
                 SCOPED_TRACE(plc.dump());
                 EXPECT_EQ(plc["plc"], want.name);
                 EXPECT_EQ(plc["route"], "normal");
                 EXPECT_EQ(plc["state"], want.state);
                 EXPECT_TRUE(std::regex_match(plc["since"].get<std::string>(), utc));
                 EXPECT_EQ(plc["last_success"].is_string(), want.answeredOnce);
                 if (plc["last_success"].is_string()) {
                     EXPECT_TRUE(std::regex_match(plc["last_success"].get<std::string>(), utc));
                 }
                 EXPECT_EQ(plc["last_error"].is_object(), want.missedOnce);
                 if (plc["last_error"].is_object()) {
                     EXPECT_NE(plc["last_error"]["what"].get<std::string>().find("no answer"),
                               std::string::npos);
                     EXPECT_TRUE(std::regex_match(plc["last_error"]["at"].get<std::string>(), utc));
                 }
                 EXPECT_EQ(plc["demotions"], want.demotions);
             }
             const bool traffic = phase.plcs[0].answeredOnce;
             EXPECT_EQ(north["busy_s"].get<double>() > 0, traffic);
             EXPECT_EQ(north["requests_per_s"].get<double>() > 0, traffic);
             EXPECT_EQ(north["busy_share"].get<double>() > 0, traffic);
             EXPECT_LE(north["busy_share"].get<double>(), 1.0);
         }},
        {"/metrics",
         [&](const Phase &phase) {
             const std::string metrics = HttpGet(gateway.httpPort(), "/metrics");
             EXPECT_EQ(PromtoolProblems(dir, metrics), "");
             EXPECT_EQ(MetricSample(metrics, "vpisd_build_info{version=\"" VPISD_VERSION "\"}"), 1);
             const std::optional<double> busy =
                 MetricSample(metrics, "vpisd_line_busy_seconds_total{line=\"north\"}");
             ASSERT_TRUE(busy) << metrics;
             EXPECT_EQ(*busy > 0, phase.plcs[0].answeredOnce);
             for (const Plc &want : phase.plcs) {
                 const std::string labels =
                     std::string("{line=\"north\",plc=\"") + want.name + "\"}";
                 SCOPED_TRACE(labels);
                 EXPECT_EQ(MetricSample(metrics, "vpisd_plc_up" + labels),
                           std::string(want.state) == "answering" ? 1 : 0);
                 EXPECT_EQ(MetricSample(metrics, "vpisd_plc_demotions_total" + labels),
                           want.demotions);
                 const std::optional<double> success =
                     MetricSample(metrics, "vpisd_plc_last_success_timestamp_seconds" + labels);
                 EXPECT_EQ(success.has_value(), want.answeredOnce) << metrics;
                 if (success) { // Unix seconds, within the test's own time
                     EXPECT_GE(*success, startedAt - 1);
                     EXPECT_LE(*success, static_cast<double>(std::time(nullptr)) + 1);
                 }
             }
         }},
        {"page",
         [&](const Phase &phase) {
             const std::string dom = RenderedPage(dir, gateway.httpPort());
             const auto lineCells = RowCells(dom, "line-north");
             ASSERT_EQ(lineCells.size(), 15U) << dom;
             EXPECT_TRUE(std::regex_match(lineCells[12], std::regex(R"(\d+\.\d\d)")))
                 << lineCells[12];
             EXPECT_TRUE(std::regex_match(lineCells[13], std::regex(R"(\d+ %)"))) << lineCells[13];
             for (const Plc &want : phase.plcs) {
                 const std::string id = std::string("plc-north-") + want.name;
                 const auto cells = RowCells(dom, id);
                 ASSERT_EQ(cells.size(), 8U) << id << "\n" << dom;
                 // line, PLC, state, since, route, last success, last error, demotions
                 EXPECT_EQ(cells[1], want.name);
                 EXPECT_EQ(cells[2], want.state);
                 EXPECT_NE(RowHtml(dom, id).find(std::string("class=\"state ") + want.state + "\""),
                           std::string::npos)
                     << id << " in the colour of " << want.state;
                 EXPECT_EQ(cells[5] == "never", !want.answeredOnce) << cells[5];
                 EXPECT_EQ(cells[6] == "none", !want.missedOnce) << cells[6];
                 if (want.missedOnce) {
                     EXPECT_TRUE(std::regex_search(
                         cells[6], std::regex("no answer.* at " + std::string(R"(\d{4}-\d\d-)"))))
                         << cells[6];
                 }
                 EXPECT_EQ(cells[7], std::to_string(want.demotions));
             }
         }},
    };
    const auto check = [&](const Phase &phase) {
        for (const auto &[face, checkFace] : faces) {
            SCOPED_TRACE(std::string(phase.what) + ", " + face);
            checkFace(phase);
        }
    };

    check({"before any request",
           {{"P1", "unknown", false, false, 0},
            {"P2", "unknown", false, false, 0},
            {"P3", "unknown", false, false, 0}}});

    ReadOnce(gateway.port(), 1, true);
    ReadOnce(gateway.port(), 2, true);
    line.sim->AddFault("P2 any silence");
    ReadOnce(gateway.port(), 2, false); // ten silent tries, then demoted for 1 s
    check({"P2 silenced",
           {{"P1", "answering", true, false, 0},
            {"P2", "demoted", true, true, 1},
            {"P3", "unknown", false, false, 0}}});

    line.sim->ClearFaults();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // the hold ends
    // A request within the hold (a slow machine) is answered 0B at once; the first after it
    // is the probe that finds P2 answering.
    Client client = Connect(gateway.port(), 2);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (modbus_read_registers(client.get(), 0, 1, &value) != 1 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    check({"fault cleared",
           {{"P1", "answering", true, false, 0},
            {"P2", "answering", true, true, 1},
            {"P3", "unknown", false, false, 0}}});

    const ChildResult stopped = gateway.Stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    const std::string &log = stopped.err;
    EXPECT_EQ(Occurrences(log, "PLC P2 stopped answering"), 1U) << log;
    EXPECT_EQ(Occurrences(log, "PLC P2 answering again"), 1U) << log;
    EXPECT_EQ(Occurrences(log, "PLC P1 "), 0U) << log;
}

} // namespace
} // namespace vpisd::gateway::test
