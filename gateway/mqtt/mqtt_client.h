// One connection to the MQTT broker on libmosquitto: its own network thread, a last will (the
// same at every attempt, or asked for before each one), connection attempts with a growing
// pause while the broker cannot be reached (at the start as after a loss), and publishing from
// any thread. The JSON side ([mqtt]) and the Sparkplug B side ([sparkplug]) both run on it.
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
#include "gateway/mqtt/publisher.h"
#include "gateway/status.h"

struct mosquitto;
struct mosquitto_message;

namespace vpisd::gateway {

// One message: text or binary payload alike.
struct MqttMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
};

class MqttClient : public Publisher {
  public:
    // How the connection goes: its client id (always a clean session), keepalive, and the QoS
    // of subscriptions and of publishes that do not name their own.
    struct Session {
        std::string clientId;
        int keepaliveS = 30;
        int qos = 1;
    };
    struct Handlers {
        std::function<void()> connected; // on the client's thread, after each (re)connect
        // Messages the broker keeps retained are not handed on: a retained command would run
        // again at every reconnect.
        std::function<void(const std::string &topic, const std::string &payload)> message;
        // Retained messages (e.g. discovery configs kept from an earlier run): true when taken;
        // any other is logged as an ignored retained command.
        std::function<bool(const std::string &topic, const std::string &payload)> retained;
        // Before each connection attempt: the will that attempt carries; unset: Start's.
        std::function<MqttMessage()> will;
    };

    // `logName`: the line name the client's log lines carry.
    MqttClient(const MqttConfig &config, std::string clientId, std::string logName,
               MqttStatistics &statistics);
    MqttClient(const BrokerConfig &broker, Session session, std::string logName,
               MqttStatistics &statistics);
    ~MqttClient() override;
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Sets the last will (`willPayload` retained on `willTopic`), credentials and TLS, and
    // starts connecting; a broker that is not there yet is tried again and again.
    bool Start(const std::string &willTopic, const std::string &willPayload, Handlers handlers,
               std::string &error);
    bool Subscribe(const std::string &pattern) override;
    bool Publish(const std::string &topic, const std::string &payload, bool retain) override;
    bool Publish(const MqttMessage &message);
    bool connected() const { return connected_; }
    // From any thread: connected, publishes and the latest failure, for the status endpoint.
    MqttLineSnapshot Status() const;
    // Publishes `payload` retained on `topic` (waiting a moment for it to go out), disconnects
    // and ends the network thread.
    void Stop(const std::string &topic, const std::string &payload);
    // Publishes `goodbye` (waiting a moment for the broker to take it when its QoS asks for
    // that), disconnects and ends the network thread.
    void Stop(const MqttMessage &goodbye);
    // From the client's own thread (a handler): publishes `goodbye` and nothing after it,
    // disconnects once the broker has taken it (at once with QoS 0, else on its
    // acknowledgement or after a moment), and connects again after the first pause, as after a
    // loss but without a warning. Waiting for the acknowledgement keeps libmosquitto from
    // sending the message again on the next connection.
    void Drop(const MqttMessage &goodbye);

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

    bool Send(const MqttMessage &message, int *mid);
    // The will of the coming attempt (from handlers_.will), before libmosquitto connects.
    int SetWill();

    const BrokerConfig &config_;
    const Session session_;
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
    std::atomic<int> dropAfter_{-1};     // Drop: disconnect once this message id is taken
    std::chrono::steady_clock::time_point dropBy_; // Drop: disconnect by then in any case
    std::atomic<uint64_t> publishes_{0};
    mutable std::mutex errorMutex_;
    std::optional<std::string> lastError_; // as Status() tells it
};

} // namespace vpisd::gateway
