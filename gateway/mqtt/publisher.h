// What the MQTT side asks of its broker connection: MqttClient is one; a test records.
#pragma once

#include <string>

namespace vpisd::gateway {

class Publisher {
  public:
    virtual ~Publisher() = default;
    // False when the broker is not connected (the message is dropped) or refuses it.
    virtual bool Publish(const std::string &topic, const std::string &payload, bool retain) = 0;
    virtual bool Subscribe(const std::string &pattern) = 0;
};

} // namespace vpisd::gateway
