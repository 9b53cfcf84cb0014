// The driver, driven only through its command entry, against the simulated network on a real
// pseudo-terminal: one VPI started on the simulator's port with an init file in a private
// directory, tags parsed by the driver and read or written into host-owned value buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/context.h"
#include "driver/log.h"
#include "sim/simulator.h"
#include "support/host_log.h"
#include "support/temp_dir.h"
#include "vpisd/vpi.h"

namespace vpisd::e2e {

constexpr int32_t kVpiNumber = 1;
constexpr int32_t kQuickTimeout = 5; // 50 ms: ten failing tries stay within a few seconds
constexpr uint16_t kUntouched = 0xA5A5;

// Host type codes the parser accepts for each form.
constexpr int32_t kTypeRegister = 0;
constexpr int32_t kTypePair = 3;
constexpr int32_t kTypeBit = 6;

// P1 over drops 1+5 with the backup 2+5, P2 over 1+7 without a backup.
constexpr const char *kTwoPlcNetwork = "[plc P1]\nroute = 1+5\nbackup = 2+5\n"
                                       "[plc P2]\nroute = 1+7\n";

// A tag as the host keeps it: its GAS, the parse results copied into its TagAccess and a
// value buffer with one guard word past the words the tag covers.
class Tag {
  public:
    Tag(std::string gas, int32_t type, int32_t count);
    Tag(const Tag &) = delete;
    Tag &operator=(const Tag &) = delete;

    TagAccess &access() { return access_; }
    std::vector<uint16_t> &values() { return values_; }
    // Words the tag covers: count, or twice count for a 32-bit tag.
    size_t words() const { return words_; }
    // The words the tag covers as a read stores them: element 1 alone for one word.
    std::vector<uint16_t> Covered() const;
    // Puts words into the buffer where a write takes them from.
    void SetCovered(const std::vector<uint16_t> &words);
    const std::string &gas() const { return gas_; }
    uint16_t guard() const { return values_.back(); }

  private:
    friend class DriverOnSim;
    std::string gas_;
    TagAccess access_{};
    size_t words_ = 1;
    std::vector<uint16_t> values_;
};

class DriverOnSim : public ::testing::Test {
  protected:
    void TearDown() override;

    // Starts the simulator, writes the init file (the network's own when initText is empty,
    // none at all when it is nullopt), starts VPI 1 on the port and reopens it with the
    // given read timeout. Fails the test on any step that does not succeed.
    void Launch(const std::string &network, std::optional<std::string> initText = std::string(),
                int32_t timeout = kQuickTimeout);

    // Single parse (or block parse) of the tag's GAS; on acceptance the results go into
    // the tag's TagAccess. Returns the parse result.
    int32_t Parse(Tag &tag, bool block = false);
    // A tag whose GAS the driver accepted; fails the test otherwise.
    std::unique_ptr<Tag> MakeTag(const std::string &gas, int32_t type = kTypeRegister,
                                 int32_t count = 1);
    int32_t Read(Tag &tag);
    int32_t Write(Tag &tag);
    int32_t Command(int32_t code, void *data);

    // The registers [first, first + count) of a PLC in the simulator.
    std::vector<uint16_t> Registers(const std::string &plc, size_t first, size_t count);
    void SetRegisters(const std::string &plc, size_t first, const std::vector<uint16_t> &values);
    void Fault(const std::string &rule);
    uint64_t Stat(const std::string &name);
    // The counter once it reaches `expected`, or as it stands after a second: the driver's
    // last bytes may still be on their way when its command returns.
    uint64_t SettledStat(const std::string &name, uint64_t expected);
    // Route selection of a PLC as the host sees it, through its "!ROUTE" tag.
    uint16_t RouteSelection(const std::string &prefix);

    // Messages of the driver at a level, exactly as logged.
    static int Logged(int32_t level, const std::string &text) {
        return test::CountLog(level, text);
    }
    // Messages at a level that begin with the text.
    static int LoggedStarting(int32_t level, const std::string &prefix);
    static std::string ReadFailed(const std::string &gas, int rc);
    static std::string WriteFailed(const std::string &gas, int rc);
    static std::string SwitchedTo(const char *route, int slot);

    sim::Simulator &simulator() { return *sim_; }
    VpiContext &context() { return *context_; }

  private:
    std::unique_ptr<test::TempCwd> cwd_;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<VpiContext> context_ = std::make_unique<VpiContext>();
};

} // namespace vpisd::e2e
