// The MQTT side against real parts: a Debian mosquitto broker started on a free loopback port,
// the simulator on a pty in this process, vpisd-gateway as a child process, and a subscriber
// on libmosquitto. Every wait is bounded; every process started here is stopped here.
#pragma once

#include <csignal>

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway_on_sim.h"
#include "support/free_port.h"

struct mosquitto;
struct mosquitto_message;

namespace vpisd::gateway::mqtt_test {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// The gateway tests' temporary directory and child processes, and the tests' free port.
using test::ChildProcess;
using test::Occurrences;
using test::TempDir;
using vpisd::test::FreePort;

// mosquitto on 127.0.0.1 with anonymous clients and nothing kept across a restart.
class Broker {
  public:
    // `extraConfig`: more lines for mosquitto.conf (its listener allows anonymous clients).
    explicit Broker(const TempDir &dir, const std::string &extraConfig = "");
    void Start(); // on the same port every time; returns when it accepts connections
    void Stop();  // SIGTERM, as a service manager stops it
    uint16_t port() const { return port_; }

  private:
    std::string config_;
    uint16_t port_;
    std::unique_ptr<ChildProcess> child_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
    int qos = 0;
    Json json() const { return Json::parse(payload, nullptr, false); }
};

// Subscribes to `pattern` and keeps every message that comes.
class Subscriber {
  public:
    Subscriber(uint16_t port, const std::string &pattern);
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    void Publish(const std::string &topic, const std::string &payload, bool retain = false);
    size_t Count() const;
    // Messages on `topic` so far.
    std::vector<Message> On(const std::string &topic) const;
    // Every message so far from the `from`th on, in the order they came.
    std::vector<Message> Since(size_t from = 0) const;
    // The first message on `topic`, from the `from`th message on, that `test` accepts.
    std::optional<Message> WaitFor(const std::string &topic,
                                   const std::function<bool(const Message &)> &test,
                                   std::chrono::milliseconds timeout = 15s, size_t from = 0);

  private:
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message);
    mosquitto *mosq_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Message> messages_;
};

// Publishes `payload` on `setTopic` and waits for its /result: the result, or nothing in time.
std::optional<std::string> ResultOf(Subscriber &subscriber, const std::string &setTopic,
                                    const std::string &payload,
                                    std::chrono::milliseconds timeout = 15s);

// Waits for a value message whose JSON has `quality` and, when given, `value`.
std::function<bool(const Message &)> IsValue(std::optional<int64_t> value,
                                             const std::string &quality = "good");
std::function<bool(const Message &)> IsPayload(const std::string &payload);

// The simulated network (P1 over drops 1+5 with the backup route 2+5, P2 over 1+7), a broker, and
// the gateway's configuration: line "north", unit 1 for P1, unit 2 for P2, [mqtt] with prefix
// "vpisd".
class Plant {
  public:
    explicit Plant(const std::string &brokerConfig = "");
    ~Plant();
    sim::Simulator &sim() { return *line_.sim; }
    Broker &broker() { return broker_; }
    const TempDir &dir() const { return dir_; }
    uint16_t modbusPort() const { return modbusPort_; }

    // Writes the configuration and starts the gateway. `extra` follows the keys of [mqtt]:
    // more [mqtt] keys, then [[poll]] groups; `gatewayKeys` go into [gateway], `unitKeys` into
    // unit 2 (P2).
    void StartGateway(const std::string &extra, const std::string &gatewayKeys = "",
                      const std::string &unitKeys = "");
    // Rewrites the configuration, sends SIGHUP, and waits until the gateway logs `logged`.
    bool ReloadGateway(const std::string &extra, const std::string &unitKeys,
                       const std::string &logged);
    // SIGTERM (or `signal`) and the exit status.
    int StopGateway(int signal = SIGTERM);
    std::string GatewayLog() const;
    // True once GatewayLog() holds `text`, false when it did not within `timeout`.
    bool WaitForLog(const std::string &text, std::chrono::milliseconds timeout = 10s);
    // The running gateway (StartGateway first).
    ChildProcess &gateway() { return *gateway_; }
    // Asks for the statistics (SIGUSR1) until the number after `counter` (e.g. "polls_ok ")
    // reaches `atLeast`.
    bool WaitForCount(const std::string &counter, uint64_t atLeast,
                      std::chrono::milliseconds timeout);
    std::string ConfigText(const std::string &extra, const std::string &gatewayKeys = "",
                           const std::string &unitKeys = "") const;
    // More keys for the [[line]] table of the next start or reload (e.g. "demote_s = 1\n").
    void SetLineKeys(const std::string &keys) { lineKeys_ = keys; }
    // The line's reply timeout, 100 ms unless a test that counts tries needs room for load.
    void SetTimeoutMs(int timeoutMs) { timeoutMs_ = timeoutMs; }
    // Without the [mqtt] table from the next start or reload on (`extra` then brings its own
    // front end, e.g. [sparkplug]).
    void WithoutMqtt() { mqtt_ = false; }
    // Without the two [[unit]]s (no Modbus TCP) from the next start or reload on, or with them.
    void SetUnits(bool units) { units_ = units; }

  private:
    TempDir dir_;
    vpisd::test::SimLine line_;
    Broker broker_;
    uint16_t modbusPort_;
    std::string lineKeys_;
    int timeoutMs_ = 100;
    bool mqtt_ = true;
    bool units_ = true;
    std::unique_ptr<ChildProcess> gateway_;
    std::string stoppedLog_; // what the last gateway logged, once it is stopped
};

} // namespace vpisd::gateway::mqtt_test
