// How a line's time is spent, through the gateway on a simulated line: reads waiting together
// share one block read (bit reads with register reads), a refused range in a shared read does
// not fail the others and is then held, and stored values answer without traffic until a
// write. What the scheduler picks when, in-process: scheduler_pick_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kSmallPlc = "[plc P1]\nroute = 1+5\nregisters = 2000\n";
constexpr int kHolderAddress = 999; // register 1000, far from every range below

uint16_t Value(unsigned reg) {
    return static_cast<uint16_t>(reg * 7919u + 13u);
}

void FillRegisters(vpisd::sim::Simulator &sim, unsigned last) {
    for (unsigned reg = 1; reg <= last; ++reg)
        sim.SetRegister("P1", reg, Value(reg));
}

// One Modbus read: the values (coils as 0/1), or the exception that answered it.
struct Ask {
    int function;
    int address;
    int quantity;
};
struct Answer {
    std::vector<uint16_t> values;
    int exception = 0;
};

Answer Read(modbus_t *client, const Ask &ask) {
    Answer answer;
    std::vector<uint16_t> words(static_cast<size_t>(ask.quantity));
    std::vector<uint8_t> bits(static_cast<size_t>(ask.quantity));
    int n = -1;
    switch (ask.function) {
    case MODBUS_FC_READ_COILS:
        n = modbus_read_bits(client, ask.address, ask.quantity, bits.data());
        break;
    case MODBUS_FC_READ_DISCRETE_INPUTS:
        n = modbus_read_input_bits(client, ask.address, ask.quantity, bits.data());
        break;
    case MODBUS_FC_READ_INPUT_REGISTERS:
        n = modbus_read_input_registers(client, ask.address, ask.quantity, words.data());
        break;
    default:
        n = modbus_read_registers(client, ask.address, ask.quantity, words.data());
        break;
    }
    if (n != ask.quantity) {
        answer.exception = n < 0 ? LastException() : -1;
        return answer;
    }
    if (ask.function == MODBUS_FC_READ_COILS || ask.function == MODBUS_FC_READ_DISCRETE_INPUTS)
        answer.values.assign(bits.begin(), bits.end());
    else
        answer.values = words;
    return answer;
}

std::vector<uint16_t> Expected(const Ask &ask) {
    std::vector<uint16_t> values;
    for (int i = 0; i < ask.quantity; ++i) {
        const auto at = static_cast<unsigned>(ask.address + i);
        if (ask.function == MODBUS_FC_READ_COILS || ask.function == MODBUS_FC_READ_DISCRETE_INPUTS)
            values.push_back(
                static_cast<uint16_t>((unsigned{Value(at / 16 + 1)} >> (at % 16)) & 1u));
        else
            values.push_back(Value(at + 1));
    }
    return values;
}

// Keeps the line busy for about a second with one read (the simulator delays its reply), so
// that the requests sent meanwhile wait together for the next pick.
class LineHolder {
  public:
    LineHolder(SimLine &line, uint16_t port) : line_(line) {
        line.sim->ResetStats();
        line.sim->Control("fault P1 any delay 1000 count=1");
        client_ = Connect(port, 1);
        thread_ = std::thread([this] {
            uint16_t value = 0;
            ok_ = modbus_read_registers(client_.get(), kHolderAddress, 1, &value) == 1;
            answered_ = true;
        });
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (line.sim->GetStats().Get("frames") == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~LineHolder() { Release(); }
    bool answered() const { return answered_; }
    bool Release() {
        if (thread_.joinable())
            thread_.join();
        return ok_;
    }

  private:
    SimLine &line_;
    Client client_;
    std::thread thread_;
    std::atomic<bool> ok_{false};
    std::atomic<bool> answered_{false};
};

// Each ask on its own connection, all sent at once; the answers in the same order.
std::vector<Answer> AskTogether(uint16_t port, const std::vector<Ask> &asks) {
    std::vector<Answer> answers(asks.size());
    std::vector<Client> clients;
    for (size_t i = 0; i < asks.size(); ++i)
        clients.push_back(Connect(port, 1));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < asks.size(); ++i) {
        threads.emplace_back([&, i] {
            if (clients[i])
                answers[i] = Read(clients[i].get(), asks[i]);
            else
                answers[i].exception = -1;
        });
    }
    for (auto &thread : threads)
        thread.join();
    return answers;
}

uint64_t Frames(const SimLine &line) {
    return line.sim->GetStats().Get("frames");
}

TEST(LineScheduler, ReadsWaitingTogetherShareOneBlockRead) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    FillRegisters(*line.sim, 130);
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init, "timeout_ms = 3000") +
                             UnitToml(1, "north", "P1"));
    // Registers 1-41 in one block read (every gap at most 16); 101-105 is too far from them.
    const std::vector<Ask> asks = {
        {MODBUS_FC_READ_HOLDING_REGISTERS, 0, 10},     // 1-10
        {MODBUS_FC_READ_HOLDING_REGISTERS, 5, 3},      // 6-8, inside the first
        {MODBUS_FC_READ_INPUT_REGISTERS, 20, 4},       // 21-24
        {MODBUS_FC_READ_COILS, 16 * 2 + 3, 20},        // bits of 3-4
        {MODBUS_FC_READ_DISCRETE_INPUTS, 16 * 30, 16}, // all of 31
        {MODBUS_FC_READ_HOLDING_REGISTERS, 40, 1},     // 41
        {MODBUS_FC_READ_HOLDING_REGISTERS, 100, 5},    // 101-105
    };
    LineHolder holder(line, gateway.port());
    const std::vector<Answer> answers = AskTogether(gateway.port(), asks);
    EXPECT_TRUE(holder.Release());
    for (size_t i = 0; i < asks.size(); ++i) {
        SCOPED_TRACE("ask " + std::to_string(i));
        EXPECT_EQ(answers[i].exception, 0);
        EXPECT_EQ(answers[i].values, Expected(asks[i]));
    }
    // The holder's read, the block 1-41 and 101-105.
    EXPECT_EQ(line.sim->GetStats().Get("reads"), 3u);
    const ChildResult result = gateway.Stop();
    EXPECT_NE(result.err.find("statistics: line time: transactions 3 answered 8 merged 6"),
              std::string::npos)
        << result.err;
}

TEST(LineScheduler, RefusedRangeFailsOnlyItselfAndIsHeld) {
    TempDir dir;
    SimLine line = StartSimLine(kSmallPlc, dir, "plant.int");
    for (unsigned reg = 1980; reg <= 1989; ++reg)
        line.sim->SetRegister("P1", reg, Value(reg));
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init, "timeout_ms = 1500") +
                             UnitToml(1, "north", "P1"));
    const Ask good{MODBUS_FC_READ_HOLDING_REGISTERS, 1979, 10}; // 1980-1989
    const Ask bad{MODBUS_FC_READ_HOLDING_REGISTERS, 1994, 10};  // 1995-2004: past 2000
    {
        LineHolder holder(line, gateway.port());
        const std::vector<Answer> answers = AskTogether(gateway.port(), {good, bad});
        EXPECT_TRUE(holder.Release());
        EXPECT_EQ(answers[0].exception, 0);
        EXPECT_EQ(answers[0].values, Expected(good));
        EXPECT_EQ(answers[1].exception, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    }
    // Held: answered again without traffic (how long a hold lasts: scheduler_pick_test.cpp).
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    const uint64_t frames = Frames(line);
    EXPECT_EQ(Read(client.get(), bad).exception, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    EXPECT_EQ(Frames(line), frames);
    const ChildResult result = gateway.Stop();
    EXPECT_NE(result.err.find(" held 1"), std::string::npos) << result.err;
}

TEST(LineScheduler, StoredValuesAnswerWithoutTrafficUntilAWrite) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    FillRegisters(*line.sim, 10);
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init, "timeout_ms = 3000") +
                             UnitToml(1, "north", "P1", "max_age_ms = 60000"));
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    const Ask all{MODBUS_FC_READ_HOLDING_REGISTERS, 0, 10};
    const Ask some{MODBUS_FC_READ_COILS, 16 * 2, 32}; // bits of 3-4
    EXPECT_EQ(Read(client.get(), all).values, Expected(all));
    {
        // Answered at once: the read on the line now does not hold them up.
        LineHolder holder(line, gateway.port());
        const uint64_t frames = Frames(line);
        EXPECT_EQ(Read(client.get(), all).values, Expected(all));
        EXPECT_EQ(Read(client.get(), some).values, Expected(some));
        EXPECT_FALSE(holder.answered());
        EXPECT_EQ(Frames(line), frames);
    }

    ASSERT_EQ(modbus_write_register(client.get(), 3, 0xBEEF), 1); // register 4
    const uint64_t frames = Frames(line);
    std::vector<uint16_t> expected = Expected(all);
    expected[3] = 0xBEEF;
    EXPECT_EQ(Read(client.get(), all).values, expected);
    EXPECT_GT(Frames(line), frames);
    const ChildResult result = gateway.Stop();
    EXPECT_NE(result.err.find(" stored 2 "), std::string::npos) << result.err;
}

} // namespace
} // namespace vpisd::gateway::test
