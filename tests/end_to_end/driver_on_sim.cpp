#include "end_to_end/driver_on_sim.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/command_table.h"
#include "sim/config.h"

namespace vpisd::e2e {

Tag::Tag(std::string gas, int32_t type, int32_t count) : gas_(std::move(gas)) {
    access_.type = type;
    access_.count = count;
    // A 32-bit GAS ends in "F"; its count is in values of two words.
    const bool pair = gas_.size() == 7;
    words_ = static_cast<size_t>(std::max(count, 1)) * (pair ? 2U : 1U);
    values_.assign(std::max<size_t>(words_, 2) + 1, kUntouched);
}

std::vector<uint16_t> Tag::Covered() const {
    if (words_ == 1) {
        return {values_[1]};
    }
    return {values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(words_)};
}

void Tag::SetCovered(const std::vector<uint16_t> &words) {
    if (words_ == 1) {
        values_[1] = words.at(0);
        return;
    }
    std::copy(words.begin(), words.end(), values_.begin());
}

void DriverOnSim::TearDown() {
    if (context_->port != 0) {
        EXPECT_EQ(Command(VPI_CLOSE, nullptr), VPI_OK);
    }
    if (sim_) {
        sim_->Stop();
    }
    sim_.reset();
    cwd_.reset();
    if (HasFailure()) {
        std::printf("Driver messages:\n%s", test::LogDump().c_str());
    }
}

void DriverOnSim::Launch(const std::string &network, std::optional<std::string> initText,
                         int32_t timeout) {
    cwd_ = std::make_unique<test::TempCwd>();
    const sim::NetworkConfig config = sim::ParseNetwork(network);
    sim_ = std::make_unique<sim::Simulator>(config);
    sim_->Start();
    const std::string &port = sim_->PortPath();
    ASSERT_LT(port.size(), sizeof(StartParams{}.portName));
    if (initText.has_value()) {
        cwd_->WriteFile("vpiSD01.int", initText->empty() ? sim::InitFileText(config) : *initText);
    }

    std::memset(context_.get(), 0, sizeof(VpiContext));
    StartParams start{};
    std::memcpy(start.portName, port.c_str(), port.size() + 1);
    start.portEnabled = 1;
    start.timeout = 100;
    start.baudRate = 9600;
    start.dataBits = 8;
    start.parity = 2;
    ASSERT_EQ(Command(VPI_START, &start), VPI_OK) << test::LogDump();

    ReopenParams reopen{};
    std::memcpy(reopen.portName, port.c_str(), port.size() + 1);
    reopen.timeout = timeout;
    reopen.baudRate = 9600;
    reopen.dataBits = 8;
    reopen.parity = 2;
    ASSERT_EQ(Command(VPI_REOPEN, &reopen), VPI_OK) << test::LogDump();
    ASSERT_EQ(context_->timeout, timeout);
    test::ClearLog();
}

int32_t DriverOnSim::Command(int32_t code, void *data) {
    VpiRequest request{};
    request.context = context_.get();
    request.command = code;
    request.vpiNumber = kVpiNumber;
    request.data = data;
    return DispatchCommand(&request);
}

int32_t DriverOnSim::Parse(Tag &tag, bool block) {
    TagDescriptor descriptor{};
    descriptor.gas = tag.gas_.c_str();
    descriptor.type = tag.access_.type;
    descriptor.count = tag.access_.count;
    const int32_t result = Command(block ? VPI_BLOCK_PARSE : VPI_SINGLE_PARSE, &descriptor);
    if (result == VPI_OK) {
        tag.access_.slot = descriptor.slot;
        tag.access_.kind = descriptor.kind;
        tag.access_.address = descriptor.address;
        tag.access_.bit = descriptor.bit;
    }
    return result;
}

std::unique_ptr<Tag> DriverOnSim::MakeTag(const std::string &gas, int32_t type, int32_t count) {
    auto tag = std::make_unique<Tag>(gas, type, count);
    EXPECT_EQ(Parse(*tag, count > 1), VPI_OK) << gas << "\n" << test::LogDump();
    return tag;
}

int32_t DriverOnSim::Read(Tag &tag) {
    tag.access_.gas = tag.gas_.c_str();
    tag.access_.values = tag.values_.data();
    const int32_t result = Command(VPI_READ, &tag.access_);
    EXPECT_EQ(tag.guard(), kUntouched) << "read wrote past the words of " << tag.gas_;
    return result;
}

int32_t DriverOnSim::Write(Tag &tag) {
    tag.access_.gas = tag.gas_.c_str();
    tag.access_.values = tag.values_.data();
    const std::vector<uint16_t> before = tag.values_;
    const int32_t result = Command(VPI_WRITE, &tag.access_);
    EXPECT_EQ(tag.values_, before) << "a write changed the value buffer of " << tag.gas_;
    return result;
}

std::vector<uint16_t> DriverOnSim::Registers(const std::string &plc, size_t first, size_t count) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(sim_->Register(plc, first + i));
    }
    return out;
}

void DriverOnSim::SetRegisters(const std::string &plc, size_t first,
                               const std::vector<uint16_t> &values) {
    for (size_t i = 0; i < values.size(); ++i) {
        sim_->SetRegister(plc, first + i, values[i]);
    }
}

void DriverOnSim::Fault(const std::string &rule) {
    const std::string answer = sim_->Control("fault " + rule);
    ASSERT_EQ(answer.rfind("OK fault", 0), 0U) << rule << ": " << answer;
}

uint64_t DriverOnSim::Stat(const std::string &name) {
    return sim_ ? sim_->GetStats().Get(name) : 0; // 0 when Launch failed early
}

uint64_t DriverOnSim::SettledStat(const std::string &name, uint64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    uint64_t value = Stat(name);
    while (value < expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        value = Stat(name);
    }
    return value;
}

uint16_t DriverOnSim::RouteSelection(const std::string &prefix) {
    Tag tag(prefix + "!ROUTE", kTypeBit, 1);
    EXPECT_EQ(Parse(tag), VPI_OK);
    EXPECT_EQ(Read(tag), VPI_OK);
    return tag.values()[1];
}

int DriverOnSim::LoggedStarting(int32_t level, const std::string &prefix) {
    int count = 0;
    for (const auto &entry : test::LogEntries()) {
        count += (entry.level == level && entry.text.rfind(prefix, 0) == 0) ? 1 : 0;
    }
    return count;
}

std::string DriverOnSim::ReadFailed(const std::string &gas, int rc) {
    return "VPISD: Read Failed! GAS = " + gas + " rc = " + std::to_string(rc);
}

std::string DriverOnSim::WriteFailed(const std::string &gas, int rc) {
    return "VPISD: Write Failed! GAS = " + gas + " rc = " + std::to_string(rc);
}

std::string DriverOnSim::SwitchedTo(const char *route, int slot) {
    return std::string("VPISD: Comms fail! ") + route + " Route will be used. VPI " +
           std::to_string(kVpiNumber) + " PLC " + std::to_string(slot);
}

} // namespace vpisd::e2e
