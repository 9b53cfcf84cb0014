// A VPI whose port is the slave of a real pseudo-terminal, with a scripted PLC on the
// master. Tests build a TagAccess, run a read or write and look at the line and the log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "driver/context.h"
#include "driver/log.h"
#include "serial/port.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "support/scripted_plc.h"
#include "transactions/transactions.h"

namespace vpisd::test {

constexpr uint16_t kTestVpiNumber = 3;
constexpr int32_t kQuickTimeout = 5; // 50 ms: keeps ten silent tries within a few seconds

class LineFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OpenPort(pty.path().c_str(), 9600, 8, 0, 0, 8, &context.port), PORT_OK);
        context.timeout = kQuickTimeout;
        context.vpiNumber = kTestVpiNumber;
        ClearLog();
    }
    void TearDown() override {
        plc.Stop();
        if (context.port != 0) {
            ClosePort(context.port);
        }
    }

    // A register tag of 16-bit values.
    TagAccess Tag(const char *gas, int32_t slot, int32_t address, int32_t count) {
        TagAccess tag{};
        tag.gas = gas;
        tag.slot = slot;
        tag.kind = VPI_KIND_REGISTER;
        tag.address = address;
        tag.bit = 255;
        tag.count = count;
        tag.values = values.data();
        return tag;
    }
    TagAccess RouteTag(const char *gas, int32_t slot) {
        TagAccess tag = Tag(gas, slot, 20000, 1);
        tag.kind = VPI_KIND_ROUTE;
        tag.type = 6;
        return tag;
    }

    int32_t Read(TagAccess &tag) {
        const VpiRequest request{&context, VPI_READ, kTestVpiNumber, 0, &tag};
        return ReadTransaction(&request);
    }
    int32_t Write(TagAccess &tag) {
        const VpiRequest request{&context, VPI_WRITE, kTestVpiNumber, 0, &tag};
        return WriteTransaction(&request);
    }

    // The request frames the peer saw, in order.
    std::vector<ParsedRequest> Requests() const {
        std::vector<ParsedRequest> out;
        for (const PeerEvent &event : plc.Events()) {
            if (event.kind == PeerEvent::Request) {
                out.push_back(event.request);
            }
        }
        return out;
    }
    // Lets the peer record what is still in flight, then tells whether the line stayed quiet.
    bool LineStayedQuiet() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return plc.Received().empty();
    }
    int CountEvents(int32_t level, const std::string &prefix) const {
        int count = 0;
        for (const LogEntry &entry : LogEntries()) {
            count += entry.level == level && entry.text.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }

    Pty pty;
    ScriptedPlc plc{pty}; // after the Pty, so that it stops first
    VpiContext context{};
    std::vector<uint16_t> values = std::vector<uint16_t>(256, 0xBEEF);
};

// Bodies of the PLC's replies, built from the request they answer.
inline Bytes ReadReply(const ParsedRequest &request, const Bytes &data) {
    Bytes body{0x86, request.sequence(), 0x00, 0x00};
    body.insert(body.end(), data.begin(), data.end());
    return body;
}
inline Bytes WriteReply(const ParsedRequest &request) {
    return {0x80, request.sequence()};
}
inline Bytes ErrorReply(uint8_t code) {
    return {0xA2, 0x00, code};
}

} // namespace vpisd::test
