#include "gateway/mqtt/mqtt_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

// The pause before each new attempt doubles, up to 30 s.
constexpr auto kFirstPause = std::chrono::seconds(1);
constexpr auto kLongestPause = std::chrono::seconds(30);
constexpr int kLoopWaitMs = 100; // how soon the network thread sees a stop
constexpr auto kGoodbyeWait = std::chrono::seconds(2);

// mosquitto_lib_init and _cleanup are counted: the first client sets the library up, the last
// one takes it down.
std::atomic<int> clients{0};

} // namespace

MqttClient::MqttClient(const MqttConfig &config, std::string clientId, std::string logName,
                       MqttStatistics &statistics)
    : config_(config), clientId_(std::move(clientId)), logName_(std::move(logName)),
      statistics_(statistics) {
    if (clients++ == 0)
        mosquitto_lib_init();
}

MqttClient::~MqttClient() {
    stopping_ = true;
    if (thread_.joinable()) {
        mosquitto_disconnect(mosq_);
        thread_.join();
    }
    if (mosq_ != nullptr)
        mosquitto_destroy(mosq_);
    if (--clients == 0)
        mosquitto_lib_cleanup();
}

bool MqttClient::Start(const std::string &willTopic, const std::string &willPayload,
                       Handlers handlers, std::string &error) {
    handlers_ = std::move(handlers);
    mosq_ = mosquitto_new(clientId_.c_str(), true, this);
    if (mosq_ == nullptr) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_message_callback_set(mosq_, OnMessage);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    mosquitto_threaded_set(mosq_, true); // publishing from other threads than Loop's
    int rc = mosquitto_will_set(mosq_, willTopic.c_str(), static_cast<int>(willPayload.size()),
                                willPayload.data(), config_.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
        std::string password;
        if (!config_.passwordFile.empty()) {
            std::ifstream file(config_.passwordFile);
            if (!std::getline(file, password)) {
                error = "cannot read the MQTT password from " + config_.passwordFile;
                return false;
            }
        }
        rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                       config_.passwordFile.empty() ? nullptr : password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !config_.cafile.empty())
        rc = mosquitto_tls_set(mosq_, config_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client setup: ") + mosquitto_strerror(rc);
        return false;
    }
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void MqttClient::Loop() {
    const std::string broker = config_.host + ":" + std::to_string(config_.port);
    auto pause = std::chrono::steady_clock::duration(kFirstPause);
    bool told = false; // "not reached" is logged once per outage
    int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepaliveS);
    while (!stopping_) {
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(mosq_, kLoopWaitMs, 1);
        if (freshConnect_.exchange(false)) {
            pause = kFirstPause;
            told = false;
        }
        if (rc == MOSQ_ERR_SUCCESS || stopping_)
            continue;
        if (!told && rc != MOSQ_ERR_CONN_LOST) // a loss has had its own message
            Log(Level::Warning, logName_,
                "broker " + broker + " not reached (" +
                    (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                          : std::string(mosquitto_strerror(rc))) +
                    "); trying again with a growing pause");
        told = true;
        const auto until = std::chrono::steady_clock::now() + pause;
        while (!stopping_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(kLoopWaitMs));
        pause = std::min<std::chrono::steady_clock::duration>(pause * 2, kLongestPause);
        if (!stopping_)
            rc = mosquitto_reconnect_async(mosq_);
    }
}

bool MqttClient::Subscribe(const std::string &pattern) {
    return mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), config_.qos) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Publish(const std::string &topic, const std::string &payload, bool retain) {
    if (!connected_)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), config_.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    ++statistics_.publishes;
    return true;
}

void MqttClient::Stop(const std::string &topic, const std::string &payload) {
    if (!thread_.joinable())
        return;
    int mid = 0;
    if (connected_ &&
        mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), config_.qos, true) == MOSQ_ERR_SUCCESS) {
        ++statistics_.publishes;
        // With QoS 0 there is no acknowledgement to wait for; the disconnect follows the
        // message out of the same socket.
        const auto until = std::chrono::steady_clock::now() + kGoodbyeWait;
        while (config_.qos > 0 && lastPublished_ != mid && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopping_ = true;
    mosquitto_disconnect(mosq_);
    thread_.join();
    connected_ = false;
}

void MqttClient::OnConnect(mosquitto *, void *self, int rc) {
    auto &client = *static_cast<MqttClient *>(self);
    const std::string broker = client.config_.host + ":" + std::to_string(client.config_.port);
    if (rc != 0) {
        Log(Level::Warning, client.logName_,
            "broker " + broker + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    ++client.statistics_.connects;
    if (client.everConnected_.exchange(true))
        ++client.statistics_.reconnects;
    client.connected_ = true;
    client.freshConnect_ = true;
    Log(Level::Notice, client.logName_,
        "connected to broker " + broker + " as " + client.clientId_);
    if (client.handlers_.connected)
        client.handlers_.connected();
}

void MqttClient::OnDisconnect(mosquitto *, void *self, int rc) {
    auto &client = *static_cast<MqttClient *>(self);
    const bool was = client.connected_.exchange(false);
    if (rc == 0)
        return; // our own disconnect
    if (was) {
        ++client.statistics_.connectionsLost;
        Log(Level::Warning, client.logName_,
            "connection to the broker lost; polling goes on, connecting again with a growing "
            "pause");
    }
}

void MqttClient::OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto &client = *static_cast<MqttClient *>(self);
    if (!client.handlers_.message || message->topic == nullptr)
        return;
    if (message->retain) {
        Log(Level::Warning, client.logName_,
            std::string("ignored the retained command on ") + message->topic +
                " (publish commands without the retain flag)");
        return;
    }
    const auto *bytes = static_cast<const char *>(message->payload);
    client.handlers_.message(message->topic, std::string(bytes == nullptr ? "" : bytes,
                                                         static_cast<size_t>(message->payloadlen)));
}

void MqttClient::OnPublish(mosquitto *, void *self, int mid) {
    static_cast<MqttClient *>(self)->lastPublished_ = mid;
}

} // namespace vpisd::gateway
