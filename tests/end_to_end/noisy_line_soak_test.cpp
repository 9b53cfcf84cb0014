// A seeded noisy line: garbled, cut and noisy replies at random over a bounded run of reads
// and writes to two PLCs. Every request ends with a legal result, and every value the driver
// reported as read or written matches the simulator's registers.
#include "end_to_end/driver_on_sim.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace vpisd::e2e {
namespace {

constexpr int kRequests = 20;
constexpr size_t kBlock = 8;

struct Figures {
    int ok = 0;
    int refused = 0;
    int failed = 0;
    int writes = 0;
};

class NoisyLineSoak : public DriverOnSim, public ::testing::WithParamInterface<unsigned> {
  protected:
    void SetUp() override {
        Launch(std::string("[line]\nseed = ") + std::to_string(GetParam()) + "\n" + kTwoPlcNetwork);
        Fault("* any checksum prob=0.1");
        Fault("* any noise 25 prob=0.1");
        Fault("* any truncate prob=0.1");
    }
    void Count(int32_t result, Figures &figures) {
        ASSERT_TRUE(result == VPI_OK || result == VPI_REFUSED || result == VPI_COMM_FAILURE)
            << result;
        (result == VPI_OK        ? figures.ok
         : result == VPI_REFUSED ? figures.refused
                                 : figures.failed)++;
    }
};

TEST_P(NoisyLineSoak, EveryReportedValueIsTheRegisters) {
    std::mt19937 random(GetParam());
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    const char *plcs[] = {"P1", "P2"};
    for (const char *plc : plcs) {
        for (size_t r = 1; r <= 40; ++r) {
            SetRegisters(plc, r, {static_cast<uint16_t>(word(random))});
        }
    }
    Figures figures;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        const std::string plc = plcs[i % 2];
        const auto first = static_cast<size_t>(1 + random() % 32);
        char number[8];
        std::snprintf(number, sizeof number, "%04zu", first);
        switch (random() % 4) {
        case 0: { // block read
            auto tag = MakeTag(plc + number, kTypeRegister, static_cast<int32_t>(kBlock));
            const int32_t result = Read(*tag);
            Count(result, figures);
            if (result == VPI_OK) {
                EXPECT_EQ(tag->Covered(), Registers(plc, first, kBlock)) << plc << number;
            } else {
                EXPECT_EQ(tag->values()[0], kUntouched);
            }
            break;
        }
        case 1: { // single write
            auto tag = MakeTag(plc + number);
            tag->values()[1] = static_cast<uint16_t>(word(random));
            const int32_t result = Write(*tag);
            figures.writes += 1;
            Count(result, figures);
            if (result == VPI_OK) {
                EXPECT_EQ(Registers(plc, first, 1)[0], tag->values()[1]) << plc << number;
            }
            break;
        }
        case 2: { // 32-bit write at an odd register
            std::snprintf(number, sizeof number, "%04zu", first | 1U);
            auto tag = MakeTag(plc + number + "F", kTypePair);
            tag->SetCovered(
                {static_cast<uint16_t>(word(random)), static_cast<uint16_t>(word(random))});
            const int32_t result = Write(*tag);
            figures.writes += 1;
            Count(result, figures);
            if (result == VPI_OK) {
                EXPECT_EQ(Registers(plc, first | 1U, 2), tag->Covered()) << plc << number;
            }
            break;
        }
        default: { // bit read
            const int bit = static_cast<int>(1 + random() % 16);
            char gas[16];
            std::snprintf(gas, sizeof gas, "%s%s%02d", plc.c_str(), number, bit);
            auto tag = MakeTag(gas, kTypeBit);
            const int32_t result = Read(*tag);
            Count(result, figures);
            if (result == VPI_OK) {
                EXPECT_EQ(tag->values()[1], (Registers(plc, first, 1)[0] >> (bit - 1)) & 1) << gas;
            }
            break;
        }
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const sim::Stats stats = simulator().GetStats();
    std::printf("seed %u: %d requests, %d ok, %d refused, %d failed; %d retries; frames %llu, "
                "injected checksum %llu, noise %llu, truncate %llu; %lld ms\n",
                GetParam(), kRequests, figures.ok, figures.refused, figures.failed,
                // "Write Retries" is logged on the first try too.
                LoggedStarting(LOG_DEBUG, "VPISD: Read Retries") +
                    LoggedStarting(LOG_DEBUG, "VPISD: Write Retries") - figures.writes,
                static_cast<unsigned long long>(stats.Get("frames")),
                static_cast<unsigned long long>(stats.Get("injected.checksum")),
                static_cast<unsigned long long>(stats.Get("injected.noise")),
                static_cast<unsigned long long>(stats.Get("injected.truncate")),
                static_cast<long long>(elapsed.count()));
    EXPECT_EQ(figures.ok + figures.refused + figures.failed, kRequests);
    EXPECT_GT(stats.Get("injected.checksum") + stats.Get("injected.noise") +
                  stats.Get("injected.truncate"),
              0U)
        << "the line was not noisy at all";
}

INSTANTIATE_TEST_SUITE_P(Seeds, NoisyLineSoak, ::testing::Values(7U, 1234U));

} // namespace
} // namespace vpisd::e2e
