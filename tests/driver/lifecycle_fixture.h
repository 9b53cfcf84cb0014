// Shared pieces of the lifecycle tests: an instance record filled with a pattern (so
// that untouched fields show), requests, and short device names for pseudo-terminals.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "driver/context.h"
#include "driver/lifecycle.h"
#include "serial/port.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace vpisd::test {

constexpr uint8_t kPattern = 0xA5;
constexpr uint32_t kPatternHandle = 0xA5A5A5A5U; // names no open port
constexpr int32_t kPatternInt = static_cast<int32_t>(0xA5A5A5A5U);

inline StartParams MakeStart(const std::string &port, int32_t enabled = 1, int32_t timeout = 100) {
    StartParams params{};
    std::memcpy(params.portName, port.data(), std::min(port.size(), sizeof params.portName));
    params.portEnabled = enabled;
    params.timeout = timeout;
    params.baudRate = 9600;
    params.dataBits = 8;
    params.stopBits = 0;
    params.parity = 2;
    return params;
}

inline ReopenParams MakeReopen(const std::string &port, int32_t timeout = 0,
                               uint16_t baudRate = 19200) {
    ReopenParams params{};
    std::memcpy(params.portName, port.data(), std::min(port.size(), sizeof params.portName));
    params.timeout = timeout;
    params.baudRate = baudRate;
    params.dataBits = 8;
    params.stopBits = 2;
    params.parity = 0;
    return params;
}

// A symbolic link of exactly 11 characters ("/tmp/vpNNNN") to a device: the longest
// name a port can have, and one that a test can take away.
class ShortLink {
  public:
    explicit ShortLink(const std::string &target) {
        for (int attempt = 0; attempt < 1000 && path_.empty(); ++attempt) {
            char name[16];
            std::snprintf(name, sizeof name, "/tmp/vp%04d", (getpid() + attempt * 7919) % 10000);
            if (symlink(target.c_str(), name) == 0) {
                path_ = name;
            }
        }
    }
    ~ShortLink() { Remove(); }
    ShortLink(const ShortLink &) = delete;
    ShortLink &operator=(const ShortLink &) = delete;
    const std::string &path() const { return path_; }
    void Remove() {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }

  private:
    std::string path_;
};

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(context.get(), kPattern, sizeof(VpiContext));
        ClearLog();
    }
    void TearDown() override { ClosePort(context->port); }

    VpiRequest Request(int32_t command, void *data = nullptr, int32_t vpiNumber = 3) {
        VpiRequest request{};
        request.context = context.get();
        request.command = command;
        request.vpiNumber = vpiNumber;
        request.data = data;
        return request;
    }
    int32_t Start(StartParams params, int32_t vpiNumber = 3) {
        const VpiRequest request = Request(VPI_START, &params, vpiNumber);
        return VpiStart(&request);
    }
    int32_t Reopen(ReopenParams params) {
        const VpiRequest request = Request(VPI_REOPEN, &params);
        return VpiReopen(&request);
    }
    int32_t Command(int32_t (*routine)(const VpiRequest *), int32_t command) {
        const VpiRequest request = Request(command);
        return routine(&request);
    }
    std::unique_ptr<VpiContext> Snapshot() const { return std::make_unique<VpiContext>(*context); }
    bool Unchanged(const VpiContext &before) const {
        return std::memcmp(&before, context.get(), sizeof(VpiContext)) == 0;
    }
    // True while the handle names an open port of this process.
    static bool IsOpen(PortHandle handle) {
        const uint8_t byte = 0;
        return PortWrite(handle, &byte, 1, nullptr) == PORT_OK;
    }

    TempCwd cwd; // no init file but the test's own
    std::unique_ptr<VpiContext> context = std::make_unique<VpiContext>();
};

} // namespace vpisd::test
