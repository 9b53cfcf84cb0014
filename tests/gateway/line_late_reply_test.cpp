// A PLC whose replies come after the line's timeout answers nothing in time: its reads are
// answered 0B, never held as refused, the PLC is counted unanswered (and demoted), and the log
// says what to raise.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Json = nlohmann::json;

// P1 of the line's status.
Json PlcStatus(uint16_t httpPort) {
    const HttpAnswer answer = HttpRequest(httpPort, "GET", "/status.json");
    const Json status = Json::parse(answer.body, nullptr, false);
    if (status.is_discarded() || !status.contains("lines"))
        return Json::object();
    return status["lines"][0]["plcs"][0];
}

TEST(LineLateReplies, AreNoAnswerNotRefusalsAndTheLogSaysToRaiseTheTimeout) {
    OneLine net("demote_s = 1\n"); // timeout_ms 100
    Gateway gateway(net.dir, HttpToml() + net.body);
    ASSERT_EQ(net.line.sim->Control("fault P1 any delay 150").rfind("OK", 0), 0u);
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    EXPECT_EQ(RawException(client.get(), {0x03, 0, 4, 0, 1}), 0x0B);

    const Json p1 = PlcStatus(gateway.httpPort());
    EXPECT_NE(p1.value("state", ""), "answering") << p1.dump();
    const Json error = p1.value("last_error", Json::object());
    EXPECT_EQ(error.is_object() ? error.value("what", "") : "",
              "replies after timeout_ms to a read of P10005")
        << p1.dump();

    // Nothing holds the range: once the replies are in time again, the probe after the
    // demotion's hold reads the value.
    net.line.sim->ClearFaults();
    uint16_t value = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (modbus_read_registers(client.get(), 4, 1, &value) != 1 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(value, 55);

    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "PLC P1 replies after timeout_ms = 100: "), 1u) << result.err;
}

} // namespace
} // namespace vpisd::gateway::test
