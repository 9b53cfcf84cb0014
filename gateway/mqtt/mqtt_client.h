// One connection to the MQTT broker on libmosquitto: its own network thread, a last will,
// connection attempts with a growing pause while the broker cannot be reached (at the start as
// after a loss), and publishing from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "gateway/config/mqtt_config.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/mqtt/mqtt_tls.h"
#include "gateway/status.h"

struct mosquitto;
struct mosquitto_message;

namespace vpisd::gateway {

class MqttClient {
  public:
    struct Handlers {
        std::function<void()> connected; // on the client's thread, after each (re)connect
        // Messages the broker keeps retained are not handed on: a retained command would run
        // again at every reconnect.
        std::function<void(const std::string &topic, const std::string &payload)> message;
        // Retained messages (e.g. discovery configs kept from an earlier run): true when taken;
        // any other is logged as an ignored retained command.
        std::function<bool(const std::string &topic, const std::string &payload)> retained;
    };

    // `logName`: the line name the client's log lines carry.
    MqttClient(const MqttConfig &config, std::string clientId, std::string logName,
               MqttStatistics &statistics);
    ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Sets the last will (`willPayload` retained on `willTopic`), credentials and TLS, and
    // starts connecting; a broker that is not there yet is tried again and again.
    bool Start(const std::string &willTopic, const std::string &willPayload, Handlers handlers,
               std::string &error);
    bool Subscribe(const std::string &pattern);
    // False when the broker is not connected (the message is dropped) or refuses it.
    bool Publish(const std::string &topic, const std::string &payload, bool retain);
    bool connected() const { return connected_; }
    // From any thread: connected, publishes and the latest failure, for the status endpoint.
    MqttLineSnapshot Status() const;
    // Publishes `payload` retained on `topic` (waiting a moment for it to go out), disconnects
    // and ends the network thread.
    void Stop(const std::string &topic, const std::string &payload);

  private:
    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnDisconnect(mosquitto *, void *self, int rc);
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void OnPublish(mosquitto *, void *self, int mid);
    static void OnLog(mosquitto *, void *self, int level, const char *text);
    void Loop();
    // Starts one connection attempt: a result of libmosquitto, or kNotReached.
    int Attempt();
    // Why the attempt failed, in words (`rc` and errno of the failed call).
    std::string FailureCause(int rc) const;
    // Logs `cause` when it is not the one logged last: once per change, not on every retry.
    void Tell(const std::string &cause);

    const MqttConfig &config_;
    const std::string clientId_;
    const std::string logName_;
    MqttStatistics &statistics_;
    Handlers handlers_;
    mosquitto *mosq_ = nullptr;
    std::unique_ptr<MqttTls> tls_; // with `cafile`
    // The network thread's own: the current attempt and what has been logged.
    bool connectCalled_ = false; // later attempts reconnect
    bool attemptConnected_ = false;
    std::chrono::steady_clock::time_point attemptStart_;
    std::string unreached_; // why the broker was not reached, before libmosquitto tried
    std::string refusal_;   // the broker's answer when it refused the attempt
    std::string lastCause_;
    std::string broker_; // "host:port", for the log
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> freshConnect_{false}; // the pause starts again from its first length
    std::atomic<bool> connected_{false};
    std::atomic<bool> everConnected_{false};
    std::atomic<int> lastPublished_{-1}; // message id of the latest publish the broker took
    std::atomic<uint64_t> publishes_{0};
    mutable std::mutex errorMutex_;
    std::optional<std::string> lastError_; // as Status() tells it
};

} // namespace vpisd::gateway
