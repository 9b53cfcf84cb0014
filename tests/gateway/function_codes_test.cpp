// Every Modbus function the gateway serves, checked against the simulated PLC's registers.
#include <gtest/gtest.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

constexpr unsigned kFilled = 700; // registers 1..kFilled hold known values

uint16_t Pattern(unsigned reg) {
    return static_cast<uint16_t>(reg * 2654435761u >> 16);
}

class FunctionCodes : public ::testing::Test {
  protected:
    void SetUp() override {
        line_ = StartSimLine(kTwoPlcs, dir_, "plant.int");
        for (unsigned reg = 1; reg <= kFilled; ++reg)
            line_.sim->SetRegister("P2", reg, Pattern(reg));
        gateway_ = std::make_unique<Gateway>(dir_, LineToml("north", line_.port, 1, line_.init) +
                                                       UnitToml(1, "north", "P1") +
                                                       UnitToml(2, "north", "P2"));
        client_ = Connect(gateway_->port(), 2);
        ASSERT_TRUE(client_);
    }
    uint16_t Reg(unsigned reg) { return line_.sim->Register("P2", reg); }

    TempDir dir_;
    SimLine line_;
    std::unique_ptr<Gateway> gateway_;
    Client client_;
};

TEST_F(FunctionCodes, ReadsMatchThePlcRegisters) {
    struct Case {
        int function;
        int address; // Modbus, 0-based
        int quantity;
    };
    const Case cases[] = {
        {3, 99, 1},   {3, 99, 10},   {3, 0, 125},  {4, 149, 1}, {4, 200, 125},
        {1, 1583, 1}, {1, 1583, 40}, {1, 0, 2000}, {2, 16, 16}, {2, 4000, 37},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("function " + std::to_string(c.function) + " at " + std::to_string(c.address) +
                     " x" + std::to_string(c.quantity));
        if (c.function >= 3) {
            std::vector<uint16_t> got(static_cast<size_t>(c.quantity));
            const int n =
                c.function == 3
                    ? modbus_read_registers(client_.get(), c.address, c.quantity, got.data())
                    : modbus_read_input_registers(client_.get(), c.address, c.quantity, got.data());
            ASSERT_EQ(n, c.quantity) << modbus_strerror(errno);
            for (int i = 0; i < c.quantity; ++i)
                ASSERT_EQ(got[static_cast<size_t>(i)],
                          Reg(static_cast<unsigned>(c.address + i) + 1))
                    << "register " << c.address + i + 1;
        } else {
            std::vector<uint8_t> got(static_cast<size_t>(c.quantity));
            const int n =
                c.function == 1
                    ? modbus_read_bits(client_.get(), c.address, c.quantity, got.data())
                    : modbus_read_input_bits(client_.get(), c.address, c.quantity, got.data());
            ASSERT_EQ(n, c.quantity) << modbus_strerror(errno);
            for (int i = 0; i < c.quantity; ++i) {
                const auto coil = static_cast<unsigned>(c.address + i);
                // Coil c is bit (c mod 16) + 1 of register c / 16 + 1.
                ASSERT_EQ(got[static_cast<size_t>(i)],
                          (unsigned{Reg(coil / 16 + 1)} >> (coil % 16)) & 1u)
                    << "coil " << coil;
            }
        }
    }
}

TEST_F(FunctionCodes, RegisterWritesReachThePlc) {
    ASSERT_EQ(modbus_write_register(client_.get(), 199, 0xBEEF), 1) << modbus_strerror(errno);
    EXPECT_EQ(Reg(200), 0xBEEF);
    EXPECT_EQ(Reg(199), Pattern(199));
    EXPECT_EQ(Reg(201), Pattern(201));

    std::vector<uint16_t> block(123);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint16_t>(0x1000 + i);
    ASSERT_EQ(modbus_write_registers(client_.get(), 300, 123, block.data()), 123)
        << modbus_strerror(errno);
    for (unsigned i = 0; i < 123; ++i)
        ASSERT_EQ(Reg(301 + i), 0x1000 + i);
    EXPECT_EQ(Reg(300), Pattern(300));
    EXPECT_EQ(Reg(424), Pattern(424));
    // The other PLC of the line is untouched.
    EXPECT_EQ(line_.sim->Register("P1", 200), 0);
}

TEST_F(FunctionCodes, SingleCoilWritesAreMaskedBitWrites) {
    line_.sim->SetRegister("P2", 500, 0x8001);
    const auto before = line_.sim->GetStats();
    ASSERT_EQ(modbus_write_bit(client_.get(), 16 * 499 + 3, 1), 1) << modbus_strerror(errno);
    EXPECT_EQ(Reg(500), 0x8009);
    ASSERT_EQ(modbus_write_bit(client_.get(), 16 * 499 + 15, 0), 1) << modbus_strerror(errno);
    EXPECT_EQ(Reg(500), 0x0009);
    const auto after = line_.sim->GetStats();
    EXPECT_EQ(after.Get("masked_writes") - before.Get("masked_writes"), 2u);
    EXPECT_EQ(after.Get("reads"), before.Get("reads")); // never a read-modify-write
}

// FC15: whole registers as one block write, the coils of partly covered registers as masked
// bit writes; the bits of a register the request does not give stay as they were.
TEST_F(FunctionCodes, CoilWritesFitTheLine) {
    struct Case {
        const char *what;
        unsigned first; // coil
        unsigned count;
        uint64_t maskedWrites;
        uint64_t blockWrites;
    };
    const Case cases[] = {
        {"20 coils from 16k+5: 11 bits, then 9 bits", 16 * 600 + 5, 20, 20, 0},
        {"1968 coils on register bounds: one write of 123 registers", 16 * 1000, 1968, 0, 1},
        {"coils 14..33 of a register: 2 bits, one register, 2 bits", 16 * 640 + 14, 20, 4, 1},
        {"48 coils from 16k+8: 8 bits, two registers, 8 bits", 16 * 650 + 8, 48, 16, 1},
        {"3 coils inside one register", 16 * 660 + 6, 3, 3, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned firstReg = c.first / 16 + 1;
        const unsigned lastReg = (c.first + c.count - 1) / 16 + 1;
        std::vector<uint16_t> expected;
        for (unsigned reg = firstReg; reg <= lastReg; ++reg) {
            line_.sim->SetRegister("P2", reg, 0xA5C3);
            expected.push_back(0xA5C3);
        }
        std::vector<uint8_t> coils(c.count);
        for (unsigned i = 0; i < c.count; ++i) {
            coils[i] = static_cast<uint8_t>((i * 7 + 1) % 3 == 0 ? 1 : 0);
            const unsigned coil = c.first + i;
            uint16_t &word = expected[coil / 16 + 1 - firstReg];
            const auto mask = static_cast<uint16_t>(1u << (coil % 16));
            word = static_cast<uint16_t>(coils[i] != 0 ? word | mask : word & ~mask);
        }
        const uint16_t below = Reg(firstReg - 1);
        const uint16_t above = Reg(lastReg + 1);
        const auto before = line_.sim->GetStats();
        ASSERT_EQ(modbus_write_bits(client_.get(), static_cast<int>(c.first),
                                    static_cast<int>(c.count), coils.data()),
                  static_cast<int>(c.count))
            << modbus_strerror(errno);
        const auto after = line_.sim->GetStats();
        EXPECT_EQ(after.Get("masked_writes") - before.Get("masked_writes"), c.maskedWrites);
        EXPECT_EQ(after.Get("writes") - before.Get("writes"), c.blockWrites);
        EXPECT_EQ(after.Get("reads"), before.Get("reads")); // never a read-modify-write
        for (unsigned reg = firstReg; reg <= lastReg; ++reg)
            EXPECT_EQ(Reg(reg), expected[reg - firstReg]) << "register " << reg;
        EXPECT_EQ(Reg(firstReg - 1), below);
        EXPECT_EQ(Reg(lastReg + 1), above);
    }
}

} // namespace
} // namespace vpisd::gateway::test
