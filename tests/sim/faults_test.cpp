// Fault rules: parsing, matching, counts, probabilities and expiry.
#include "sim/error.h"
#include "sim/faults.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

using namespace std::chrono_literals;

TEST(FaultParsing, FullAndMinimalForms) {
    const FaultRule full = ParseFault("P1 normal silence count=3 requests=10");
    EXPECT_EQ(full.plc, "P1");
    EXPECT_EQ(full.path, PathFilter::Normal);
    EXPECT_EQ(full.kind, FaultKind::Silence);
    EXPECT_EQ(full.count, 3u);
    EXPECT_EQ(full.requests, 10u);
    EXPECT_FALSE(full.probability);
    EXPECT_EQ(full.text, "P1 normal silence count=3 requests=10");

    const FaultRule error = ParseFault("  *   any error 1D prob=0.25 seconds=1.5 ");
    EXPECT_EQ(error.plc, "*");
    EXPECT_EQ(error.kind, FaultKind::Error);
    EXPECT_EQ(error.arg, 0x1Du);
    EXPECT_DOUBLE_EQ(*error.probability, 0.25);
    EXPECT_DOUBLE_EQ(*error.seconds, 1.5);

    EXPECT_EQ(ParseFault("P2 backup delay 300").arg, 300u);
    EXPECT_EQ(ParseFault("P2 backup noise 25").arg, 25u);
    EXPECT_EQ(ParseFault("P2 backup truncate 4").kind, FaultKind::Truncate);
    for (const char *kind : {"checksum", "stale", "noreverse", "dead", "nak"}) {
        EXPECT_NO_THROW(ParseFault(std::string("P1 any ") + kind)) << kind;
    }
}

TEST(FaultParsing, RefusesUnclearRules) {
    for (const char *bad :
         {"", "P1 normal", "P1 sideways silence", "P1 normal explode", "P1 normal silence 5",
          "P1 normal delay x", "P1 normal delay -5", "P1 normal error 100",
          "P1 normal silence count=1 prob=0.5", "P1 normal silence requests=1 seconds=1",
          "P1 normal silence prob=1.5", "P1 normal silence prob=-0.1",
          "P1 normal silence count=", "P1 normal silence colour=red", "P1 normal delay 5 6"}) {
        EXPECT_THROW(ParseFault(bad), SimError) << bad;
    }
}

class FaultSetTest : public ::testing::Test {
  protected:
    Effects Apply(std::string_view plc = "P1", RequestPath path = RequestPath::Normal,
                  Clock::duration later = {}) {
        return faults.Apply(plc, path, start + later, rng);
    }
    int Add(const char *text) { return faults.Add(ParseFault(text), start); }

    FaultSet faults;
    std::mt19937 rng{42};
    Clock::time_point start = Clock::now();
};

TEST_F(FaultSetTest, MatchesPlcAndPath) {
    Add("P1 backup silence");
    EXPECT_FALSE(Apply("P1", RequestPath::Normal).silence);
    EXPECT_FALSE(Apply("P2", RequestPath::Backup).silence);
    EXPECT_TRUE(Apply("P1", RequestPath::Backup).silence);
    faults.Clear();

    Add("P1 normal stale");
    EXPECT_TRUE(Apply("P1", RequestPath::Direct).stale) << "a direct PLC's only path is normal";
    EXPECT_FALSE(Apply("P1", RequestPath::Backup).stale);
    faults.Clear();

    Add("* any checksum");
    EXPECT_TRUE(Apply("", RequestPath::Unknown).checksum) << "* also covers unrouted requests";
    EXPECT_TRUE(Apply("P9", RequestPath::Backup).checksum);
}

TEST_F(FaultSetTest, CountFiresOnTheNextRequestsThenIsUsedUp) {
    Add("P1 normal silence count=2");
    Add("P2 normal silence count=1");
    EXPECT_TRUE(Apply().silence);
    EXPECT_FALSE(Apply("P3").silence) << "other PLCs do not use up the count";
    EXPECT_TRUE(Apply().silence);
    EXPECT_FALSE(Apply().silence);
    EXPECT_EQ(faults.List(start).size(), 1u) << "used-up fault removed, the other kept";
}

TEST_F(FaultSetTest, ExpiryByRequestsAndBySeconds) {
    Add("P1 any error 03 requests=2");
    EXPECT_EQ(Apply().error, 0x03);
    EXPECT_EQ(Apply().error, 0x03);
    EXPECT_FALSE(Apply().error);

    Add("P1 any delay 100 seconds=2");
    EXPECT_EQ(Apply("P1", RequestPath::Normal, 1999ms).delayMs, 100u);
    EXPECT_EQ(Apply("P1", RequestPath::Normal, 2000ms).delayMs, 0u);
    EXPECT_TRUE(faults.List(start + 3s).empty());
}

TEST_F(FaultSetTest, ProbabilityFiresAboutThatOften) {
    Add("P1 any noise prob=0");
    Add("P2 any noise prob=1");
    Add("P3 any noise 1 prob=0.3 requests=1000");
    int p1 = 0, p2 = 0, p3 = 0;
    for (int i = 0; i < 1000; ++i) {
        p1 += Apply("P1").noise != 0;
        p2 += Apply("P2").noise != 0;
        p3 += Apply("P3").noise != 0;
    }
    EXPECT_EQ(p1, 0);
    EXPECT_EQ(p2, 1000);
    EXPECT_GT(p3, 230);
    EXPECT_LT(p3, 370);
    EXPECT_EQ(faults.List(start).size(), 2u) << "requests=1000 counts requests seen, not fired";
}

TEST_F(FaultSetTest, FaultsCombineAndClearSelectively) {
    const int noise = Add("P1 any noise 3");
    Add("P1 any noise 4");
    Add("P1 any delay");
    Add("P2 any truncate");
    const Effects e = Apply();
    EXPECT_EQ(e.noise, 7u);
    EXPECT_EQ(e.delayMs, 2000u);
    EXPECT_EQ(e.fired.size(), 3u);
    EXPECT_EQ(Apply("P2").truncateAt, 0u) << "default: cut before DLE ETX";

    EXPECT_EQ(faults.ClearId(noise), 1u);
    EXPECT_EQ(faults.ClearId(noise), 0u);
    EXPECT_EQ(faults.ClearPlc("P1"), 2u);
    EXPECT_EQ(faults.Clear(), 1u);
    EXPECT_TRUE(faults.List(start).empty());
}

} // namespace
} // namespace vpisd::sim
