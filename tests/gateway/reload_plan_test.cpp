// The reload plan in-process: which lines keep their worker and what each front end does, for
// the changes an integrator makes to a running gateway's file.
#include "gateway/reload_plan.h"

#include <gtest/gtest.h>

#include <functional>

namespace vpisd::gateway {
namespace {

using Lines = std::vector<std::optional<size_t>>;

Config TwoLines() {
    Config config;
    for (const char *name : {"north", "south"}) {
        LineConfig line;
        line.name = name;
        line.port = std::string("/dev/tty") + name;
        line.init = std::string("/etc/vpisd/") + name + ".int";
        config.lines.push_back(line);
    }
    config.units.push_back(UnitConfig{.id = 1, .line = 0, .plc = "P1"});
    config.mqtt = MqttConfig{};
    return config;
}

struct Case {
    const char *name;
    std::function<void(Config &, std::vector<std::string> &)> change;
    Lines keptFrom;
    std::vector<size_t> stopped;
    FrontEndChange modbus = FrontEndChange::Apply;
    FrontEndChange mqtt = FrontEndChange::Apply;
    FrontEndChange http = FrontEndChange::None;
};

TEST(ReloadPlan, KeepsWhatDidNotChangeAndRestartsOnlyWhatDid) {
    const std::vector<Case> cases = {
        {"nothing", [](Config &, auto &) {}, {0, 1}, {}},
        {"moved in the file, other unit policies",
         [](Config &c, auto &) {
             c.lines[0].fileLine = 40;
             c.lines[1].plcs.push_back(PlcPolicy{.plc = "P2", .maxAgeMs = 500});
             c.mqtt->fileLine = 7;
         },
         {0, 1},
         {}},
        {"a line's timeout", [](Config &c, auto &) { c.lines[1].timeoutMs = 200; }, {0, {}}, {1}},
        {"a line's demotion",
         [](Config &c, auto &) { c.lines[0].demotion.after = 3; },
         {{}, 1},
         {0}},
        {"a line's init file", [](Config &, auto &inits) { inits[0] += "P9=9\n"; }, {{}, 1}, {0}},
        {"lines swapped",
         [](Config &c, auto &inits) {
             std::swap(c.lines[0], c.lines[1]);
             std::swap(inits[0], inits[1]);
         },
         {1, 0},
         {}},
        {"a line removed",
         [](Config &c, auto &inits) {
             c.lines.erase(c.lines.begin());
             inits.erase(inits.begin());
         },
         {1},
         {0}},
        {"every unit removed",
         [](Config &c, auto &) { c.units.clear(); },
         {0, 1},
         {},
         FrontEndChange::Stop},
        {"the broker",
         [](Config &c, auto &) { c.mqtt->port = 8883; },
         {0, 1},
         {},
         FrontEndChange::Apply,
         FrontEndChange::Restart},
        {"[mqtt] removed",
         [](Config &c, auto &) { c.mqtt.reset(); },
         {0, 1},
         {},
         FrontEndChange::Apply,
         FrontEndChange::Stop},
        {"[http] added",
         [](Config &c, auto &) { c.http = HttpConfig{}; },
         {0, 1},
         {},
         FrontEndChange::Apply,
         FrontEndChange::Apply,
         FrontEndChange::Start},
    };
    const Config running = TwoLines();
    const std::vector<std::string> runningInits = {"P1=1\n", "P2=2\n"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Config next = running;
        std::vector<std::string> nextInits = runningInits;
        c.change(next, nextInits);
        const ReloadPlan plan = PlanReload(running, runningInits, next, nextInits);
        EXPECT_EQ(plan.keptFrom, c.keptFrom);
        EXPECT_EQ(plan.stopped, c.stopped);
        EXPECT_STREQ(FrontEndChangeName(plan.modbus), FrontEndChangeName(c.modbus));
        EXPECT_STREQ(FrontEndChangeName(plan.mqtt), FrontEndChangeName(c.mqtt));
        EXPECT_STREQ(FrontEndChangeName(plan.http), FrontEndChangeName(c.http));
    }
}

// The edge node's devices are the PLCs its groups read on its lines' workers: it is kept only
// while [sparkplug], the groups and every line stay as they were.
TEST(ReloadPlan, SparkplugRestartsWhenWhatItReadsChanges) {
    struct SparkplugCase {
        const char *name;
        std::function<void(Config &, std::vector<std::string> &)> change;
        FrontEndChange sparkplug;
    };
    const std::vector<SparkplugCase> cases = {
        {"nothing", [](Config &, auto &) {}, FrontEndChange::Apply},
        {"moved in the file, a unit made read-only",
         [](Config &c, auto &) {
             c.sparkplug->fileLine = 12;
             c.units[0].readOnly = true;
         },
         FrontEndChange::Apply},
        {"its broker", [](Config &c, auto &) { c.sparkplug->port = 8883; },
         FrontEndChange::Restart},
        {"a poll group", [](Config &c, auto &) { c.polls[0].intervalMs = 500; },
         FrontEndChange::Restart},
        {"a line's init file", [](Config &, auto &inits) { inits[1] += "P9=9\n"; },
         FrontEndChange::Restart},
        {"[sparkplug] removed", [](Config &c, auto &) { c.sparkplug.reset(); },
         FrontEndChange::Stop},
    };
    Config running = TwoLines();
    running.sparkplug = SparkplugConfig{};
    running.polls.push_back(PollConfig{});
    const std::vector<std::string> runningInits = {"P1=1\n", "P2=2\n"};
    for (const SparkplugCase &c : cases) {
        SCOPED_TRACE(c.name);
        Config next = running;
        std::vector<std::string> nextInits = runningInits;
        c.change(next, nextInits);
        const ReloadPlan plan = PlanReload(running, runningInits, next, nextInits);
        EXPECT_STREQ(FrontEndChangeName(plan.sparkplug), FrontEndChangeName(c.sparkplug));
    }
    EXPECT_STREQ(
        FrontEndChangeName(PlanReload(TwoLines(), runningInits, running, runningInits).sparkplug),
        "start");
}

// A kept line keeps its poller (and the rhythm of its rounds) only while it reads the same
// groups in the same order: the faces find a group by its place among the line's.
TEST(ReloadPlan, ALineReadsTheSameGroupsWhereverItStands) {
    struct PollCase {
        const char *name;
        std::function<void(Config &)> change;
        size_t lineInNext; // where north stands in the new file
        bool same;
    };
    const auto group = [](size_t line, uint16_t first) {
        PollConfig poll;
        poll.line = line;
        poll.plc = "P1";
        poll.registers.first = first;
        return poll;
    };
    const std::vector<PollCase> cases = {
        {"nothing", [](Config &) {}, 0, true},
        {"moved in the file", [](Config &c) { c.polls[0].fileLine = c.polls[1].fileLine = 40; }, 0,
         true},
        {"the line now second",
         [](Config &c) {
             std::swap(c.lines[0], c.lines[1]);
             for (PollConfig &poll : c.polls)
                 poll.line = 1 - poll.line;
         },
         1, true},
        {"another line's group changed", [](Config &c) { c.polls[2].intervalMs = 50; }, 0, true},
        {"its interval", [](Config &c) { c.polls[1].intervalMs = 50; }, 0, false},
        {"its groups in another order", [](Config &c) { std::swap(c.polls[0], c.polls[1]); }, 0,
         false},
        {"a group added", [&](Config &c) { c.polls.push_back(group(0, 300)); }, 0, false},
        {"a group removed", [](Config &c) { c.polls.erase(c.polls.begin()); }, 0, false},
    };
    Config running = TwoLines();
    running.polls = {group(0, 100), group(0, 200), group(1, 100)};
    for (const PollCase &c : cases) {
        SCOPED_TRACE(c.name);
        Config next = running;
        c.change(next);
        EXPECT_EQ(SameLinePolls(running, 0, next, c.lineInNext), c.same);
    }
}

TEST(ReloadPlan, HttpRestartsOnlyWhenItsTableChanges) {
    Config running = TwoLines();
    running.http = HttpConfig{};
    Config next = running;
    EXPECT_EQ(PlanReload(running, {}, next, {}).http, FrontEndChange::Apply);
    next.http->listenPort = 9090;
    EXPECT_EQ(PlanReload(running, {}, next, {}).http, FrontEndChange::Restart);
    EXPECT_EQ(PlanReload(running, {}, next, {}).Describe(), "2 lines kept, 0 started, 0 stopped");
}

} // namespace
} // namespace vpisd::gateway
