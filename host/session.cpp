#include "host/session.h"

#include <algorithm>
#include <cstring>

#include "host/host_log.h"

namespace vpisd::host {
namespace {

constexpr int32_t kStartTimeoutFloor = 100; // the driver raises a start timeout to 1 s

template <typename Params>
void FillLine(Params &params, const std::string &portName, const LineOptions &line) {
    std::memset(params.portName, 0, sizeof params.portName);
    std::memcpy(params.portName, portName.c_str(),
                std::min(portName.size(), sizeof params.portName - 1));
    params.baudRate = static_cast<uint16_t>(line.baudRate);
    params.dataBits = line.dataBits;
    params.stopBits = line.stopBits;
    params.parity = line.parity;
}

} // namespace

int32_t TimeoutUnits(int32_t milliseconds) {
    if (milliseconds <= 0)
        return 1;
    return (milliseconds + 9) / 10;
}

int32_t VpiSession::Call(int32_t command, void *data) const {
    VpiRequest request{};
    request.context = context_.empty()
                          ? nullptr
                          : reinterpret_cast<VpiContext *>(const_cast<uint64_t *>(context_.data()));
    request.command = command;
    request.vpiNumber = vpiNumber_;
    request.data = data;
    return library_.Call(request);
}

DriverInfo VpiSession::Describe() const {
    DriverInfo info{};
    Call(VPI_DESCRIBE, &info);
    return info;
}

int32_t VpiSession::Start(const std::string &portName, const LineOptions &line,
                          int32_t contextSize) {
    context_.assign((static_cast<size_t>(contextSize) + 7) / 8, 0);
    vpiNumber_ = line.vpiNumber;
    StartParams start{};
    FillLine(start, portName, line);
    start.portEnabled = 1;
    const int32_t units = TimeoutUnits(line.timeoutMs);
    start.timeout = units;
    const int32_t result = Call(VPI_START, &start);
    if (result != 0)
        return result;
    started_ = true;
    if (units >= kStartTimeoutFloor)
        return 0;
    // Reopen keeps a short timeout as given.
    return Reopen(portName, line);
}

int32_t VpiSession::Reopen(const std::string &portName, const LineOptions &line) {
    // The port admits one open at a time, so close first.
    Call(VPI_CLOSE, nullptr);
    ReopenParams reopen{};
    FillLine(reopen, portName, line);
    reopen.timeout = TimeoutUnits(line.timeoutMs);
    return Call(VPI_REOPEN, &reopen);
}

int32_t VpiSession::LoadRoutes(const LineOptions &line, int32_t contextSize) {
    context_.assign((static_cast<size_t>(contextSize) + 7) / 8, 0);
    vpiNumber_ = line.vpiNumber;
    StartParams start{};
    FillLine(start, "NUL", line);
    start.portEnabled = 0;
    start.timeout = TimeoutUnits(line.timeoutMs);
    return Call(VPI_START, &start);
}

int32_t VpiSession::Parse(const std::string &gas, int32_t count, TagLayout &layout) const {
    TagDescriptor tag{};
    tag.gas = gas.c_str();
    tag.type = TypeForGas(gas);
    tag.count = count;
    const int32_t result = Call(count > 1 ? VPI_BLOCK_PARSE : VPI_SINGLE_PARSE, &tag);
    layout.slot = tag.slot;
    layout.kind = tag.kind;
    layout.address = tag.address;
    layout.bit = tag.bit;
    layout.count = count;
    return result;
}

int32_t VpiSession::Transfer(int32_t command, const std::string &gas, const TagLayout &layout,
                             std::span<uint16_t> values) const {
    if (values.size() < BufferWords(layout))
        return VPI_REFUSED;
    TagAccess access{};
    access.gas = gas.c_str();
    access.slot = layout.slot;
    access.kind = layout.kind;
    access.address = layout.address;
    access.bit = layout.bit;
    access.type = TypeForGas(gas);
    access.count = layout.count;
    access.values = values.data();
    return Call(command, &access);
}

int32_t VpiSession::Followed(int32_t command, const std::string &gas, const TagLayout &layout,
                             std::span<uint16_t> values, Tries *tries) const {
    if (tries == nullptr)
        return Transfer(command, gas, layout, values);
    TryTally tally;
    FollowTries(&tally);
    const int32_t result = Transfer(command, gas, layout, values);
    FollowTries(nullptr);
    if (result != VPI_OK)
        tally.Failed(TryTally::Clock::now());
    *tries = tally.tries();
    return result;
}

int32_t VpiSession::Read(const std::string &gas, const TagLayout &layout,
                         std::span<uint16_t> values, Tries *tries) const {
    return Followed(VPI_READ, gas, layout, values, tries);
}

int32_t VpiSession::Write(const std::string &gas, const TagLayout &layout,
                          std::span<uint16_t> values, Tries *tries) const {
    return Followed(VPI_WRITE, gas, layout, values, tries);
}

void VpiSession::Close() {
    if (!started_)
        return;
    Call(VPI_CLOSE, nullptr);
    started_ = false;
}

} // namespace vpisd::host
