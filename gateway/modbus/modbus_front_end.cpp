#include "gateway/modbus/modbus_front_end.h"

#include "gateway/log.h"

namespace vpisd::gateway {

ModbusFrontEnd::ModbusFrontEnd(Statistics &statistics, std::function<void()> ended)
    : statistics_(statistics), ended_(std::move(ended)) {}

ModbusFrontEnd::~ModbusFrontEnd() {
    Stop();
}

bool ModbusFrontEnd::Start(const ServedLines &lines, std::string &error) {
    server_ = std::make_unique<ModbusServer>(lines.config, lines.workers, statistics_);
    if (!server_->Listen(error))
        return false;
    thread_ = std::thread([this] {
        server_->Run();
        if (!stopping_ && ended_)
            ended_();
    });
    return true;
}

void ModbusFrontEnd::Apply(const ServedLines &lines) {
    std::string error;
    server_->Apply(lines.config, lines.workers, error);
    if (!error.empty())
        Log(Level::Error, "", error + "; still listening where it was");
}

void ModbusFrontEnd::Stop() {
    if (!thread_.joinable())
        return;
    stopping_ = true;
    server_->Stop();
    thread_.join();
}

} // namespace vpisd::gateway
