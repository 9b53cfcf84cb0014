// Support for the MQTT side's logic in-process: a publisher that records, and a configuration
// of lines and poll groups made without a file.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/mqtt/publisher.h"

namespace vpisd::gateway::test {

class RecordingPublisher : public Publisher {
  public:
    bool Publish(const std::string &topic, const std::string &payload, bool retain) override {
        if (connected)
            published.push_back(topic + " " + payload + (retain ? " (retained)" : ""));
        return connected;
    }
    bool Subscribe(const std::string &) override { return connected; }
    // What was published since the last call, as "topic payload [(retained)]".
    std::vector<std::string> Take() { return std::exchange(published, {}); }

    bool connected = true;
    std::vector<std::string> published;
};

// Lines named `names` under [mqtt] (topic_prefix "vpisd", discovery under "ha").
inline Config LinesConfig(const std::vector<std::string> &names) {
    Config config;
    for (const std::string &name : names)
        config.lines.emplace_back().name = name;
    config.mqtt = MqttConfig{};
    config.mqtt->discoveryPrefix = "ha";
    return config;
}

// A group of `line` reading `registers` ("100:2", "101F", "100/3") of `plc`.
inline PollConfig Poll(size_t line, const std::string &plc, const std::string &registers) {
    PollConfig poll;
    poll.line = line;
    poll.plc = plc;
    std::string why;
    poll.registers = *ParsePollRegisters(registers, why);
    return poll;
}

} // namespace vpisd::gateway::test
