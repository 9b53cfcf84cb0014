// The driver's end of a pseudo-terminal, opened through the port layer, with a short
// read timeout so that silent-line cases stay quick.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "driver/context.h"
#include "driver/log.h"
#include "serial/instance_io.h"
#include "serial/port.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "support/scripted_plc.h"

namespace vpisd::test {

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

class LineTest : public ::testing::Test {
  protected:
    static constexpr int32_t kTimeout = 10; // 100 ms

    void SetUp() override {
        std::memset(&context, 0, sizeof context);
        context.timeout = kTimeout;
        context.vpiNumber = 3;
        ASSERT_EQ(OpenPort(pty.path().c_str(), 9600, 8, 0, 0, 8, &context.port), PORT_OK);
        SetReadTimeout(context.port, kTimeout);
        ClearLog();
    }

    void TearDown() override {
        if (context.port != 0)
            ClosePort(context.port);
    }

    // What the driver wrote, once the line has been quiet for a moment.
    Bytes Sent() const { return pty.Drain(150); }

    Pty pty;
    VpiContext context;
};

} // namespace vpisd::test
