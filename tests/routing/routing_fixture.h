// Shared pieces of the routing tests: a zeroed instance record and slot inspection.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/context.h"
#include "routing/route_table.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace vpisd::test {

inline std::unique_ptr<VpiContext> ZeroContext() {
    return std::make_unique<VpiContext>();
}

inline std::string SlotHex(const VpiContext &context, int slot) {
    const uint8_t *bytes = context.routes[slot];
    return ToHex(std::vector<uint8_t>(bytes, bytes + kRouteSlotBytes));
}

// The route text EncodeRoute gives for the slot under the current flag.
inline std::string Encoded(const VpiContext &context, int slot) {
    uint8_t out[kRouteTextBytes] = {};
    const int count = EncodeRoute(&context, out, slot);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, 2 * kMaxDrops);
    for (int i = count; i < kRouteTextBytes; ++i) {
        EXPECT_EQ(out[i], 0) << "byte " << i << " written beyond the count";
    }
    return std::string(reinterpret_cast<const char *>(out), static_cast<size_t>(count));
}

// "P1" + drops + "," + drops, zero-padded to 19 bytes, in the ToHex form.
inline std::string Slot(const std::string &name, const std::vector<uint8_t> &drops) {
    std::vector<uint8_t> bytes(name.begin(), name.end());
    bytes.insert(bytes.end(), drops.begin(), drops.end());
    bytes.resize(kRouteSlotBytes, 0);
    return ToHex(bytes);
}

} // namespace vpisd::test

#include "routing/init_file.h"

namespace vpisd::test {

// An init file world of its own: a temporary current directory and a zeroed instance.
class InitFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearLog(); }
    int Load(int32_t vpiNumber) {
        VpiRequest request{};
        request.context = context.get();
        request.vpiNumber = vpiNumber;
        request.command = VPI_START;
        return LoadInitFile(&request);
    }
    int FilledSlots() const {
        int filled = 0;
        for (int slot = 0; slot < kSlotCount; ++slot) {
            filled += context->routes[slot][0] != 0 ? 1 : 0;
        }
        return filled;
    }
    TempCwd cwd;
    std::unique_ptr<VpiContext> context = ZeroContext();
};

} // namespace vpisd::test
