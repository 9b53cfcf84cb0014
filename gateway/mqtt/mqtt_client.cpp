#include "gateway/mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "gateway/log.h"
#include "host/endpoint.h"

namespace vpisd::gateway {
namespace {

// The pause before each new attempt doubles, up to 30 s.
constexpr auto kFirstPause = std::chrono::seconds(1);
constexpr auto kLongestPause = std::chrono::seconds(30);
constexpr int kLoopWaitMs = 100; // how soon the network thread sees a stop
constexpr auto kGoodbyeWait = std::chrono::seconds(2);
// An attempt that has no answer to its CONNECT by then is given up and made again.
constexpr auto kAnswerLimit = std::chrono::seconds(10);
// Attempts that end without a libmosquitto result of their own.
constexpr int kNotReached = -1000;
constexpr int kNoAnswer = -1001;

// Opens and closes one TCP connection to the broker, giving up after kAnswerLimit or at a stop;
// empty when it was made, else why not.
std::string ReachBroker(const std::string &host, uint16_t port, const std::atomic<bool> &stopping) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        rc != 0)
        return gai_strerror(rc);
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    int error = ETIMEDOUT;
    const auto until = std::chrono::steady_clock::now() + kAnswerLimit;
    for (const addrinfo *a = found; a != nullptr && !stopping; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        pollfd waiting{fd, POLLOUT, 0};
        while (error == EINPROGRESS && !stopping && std::chrono::steady_clock::now() < until) {
            if (poll(&waiting, 1, kLoopWaitMs) == 1) {
                socklen_t size = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
        close(fd);
        if (error == 0)
            return {};
        if (error == EINPROGRESS)
            error = ETIMEDOUT;
    }
    return std::strerror(error);
}

// mosquitto_lib_init and _cleanup are counted: the first client sets the library up, the last
// one takes it down.
std::atomic<int> clients{0};

} // namespace

MqttClient::MqttClient(const MqttConfig &config, std::string clientId, std::string logName,
                       MqttStatistics &statistics)
    : MqttClient(config, Session{std::move(clientId), config.keepaliveS, config.qos},
                 std::move(logName), statistics) {}

MqttClient::MqttClient(const BrokerConfig &broker, Session session, std::string logName,
                       MqttStatistics &statistics)
    : config_(broker), session_(std::move(session)), logName_(std::move(logName)),
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
    tls_.reset(); // its context outlives the client that used it, not the library
    if (--clients == 0)
        mosquitto_lib_cleanup();
}

bool MqttClient::Start(const std::string &willTopic, const std::string &willPayload,
                       Handlers handlers, std::string &error) {
    handlers_ = std::move(handlers);
    broker_ = host::EndpointText(config_.host, config_.port);
    mosq_ = mosquitto_new(session_.clientId.c_str(), true, this);
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
                                willPayload.data(), session_.qos, true);
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
    if (rc == MOSQ_ERR_SUCCESS && !config_.cafile.empty()) {
        tls_ = std::make_unique<MqttTls>(config_);
        if (!tls_->Setup(error))
            return false;
        mosquitto_log_callback_set(mosq_, OnLog);
        rc = mosquitto_void_option(mosq_, MOSQ_OPT_SSL_CTX, tls_->context());
        if (rc == MOSQ_ERR_SUCCESS) // the context as it is, without libmosquitto's settings
            rc = mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client setup: ") + mosquitto_strerror(rc);
        return false;
    }
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void MqttClient::Loop() {
    auto pause = std::chrono::steady_clock::duration(kFirstPause);
    int rc = Attempt();
    while (!stopping_) {
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(mosq_, kLoopWaitMs, 1);
            if (dropAfter_ >= 0 && std::chrono::steady_clock::now() > dropBy_) {
                dropAfter_ = -1; // not acknowledged in time: disconnect all the same
                mosquitto_disconnect(mosq_);
            }
            if (rc == MOSQ_ERR_SUCCESS && !attemptConnected_ &&
                std::chrono::steady_clock::now() - attemptStart_ > kAnswerLimit)
                rc = kNoAnswer;
        }
        if (freshConnect_.exchange(false))
            pause = kFirstPause;
        if (rc == MOSQ_ERR_SUCCESS || stopping_)
            continue;
        if (!attemptConnected_) // a loss has had its own message
            Tell(FailureCause(rc));
        const auto until = std::chrono::steady_clock::now() + pause;
        while (!stopping_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(kLoopWaitMs));
        pause = std::min<std::chrono::steady_clock::duration>(pause * 2, kLongestPause);
        if (!stopping_)
            rc = Attempt();
    }
}

int MqttClient::Attempt() {
    attemptConnected_ = false;
    dropAfter_ = -1;
    attemptStart_ = std::chrono::steady_clock::now();
    refusal_.clear();
    if (tls_) {
        tls_->BeginAttempt();
        // libmosquitto 2.0.11 does not report a TLS connection the broker's host refuses: it
        // writes its ClientHello again and again. So the broker is reached once first.
        unreached_ = ReachBroker(config_.host, config_.port, stopping_);
        if (!unreached_.empty())
            return kNotReached;
    }
    if (const int rc = SetWill(); rc != MOSQ_ERR_SUCCESS)
        return rc;
    if (connectCalled_)
        return mosquitto_reconnect_async(mosq_);
    const int rc =
        mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, session_.keepaliveS);
    connectCalled_ = rc == MOSQ_ERR_SUCCESS;
    return rc;
}

std::string MqttClient::FailureCause(int rc) const {
    const int error = errno;
    if (rc == kNotReached)
        return "broker " + broker_ + " not reached (" + unreached_ + ")";
    if (!refusal_.empty())
        return "broker " + broker_ + " refused the connection: " + refusal_;
    if (tls_) {
        if (const std::string cause = tls_->Cause(); !cause.empty())
            return "TLS to broker " + broker_ + " failed: " + cause;
    }
    if (rc == kNoAnswer)
        return "broker " + broker_ + " did not answer within " +
               std::to_string(kAnswerLimit.count()) + " s";
    return "broker " + broker_ + " not reached (" +
           (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error))
                                 : std::string(mosquitto_strerror(rc))) +
           ")";
}

void MqttClient::Tell(const std::string &cause) {
    if (cause == lastCause_)
        return;
    lastCause_ = cause;
    {
        std::lock_guard lock(errorMutex_);
        lastError_ = cause;
    }
    Log(Level::Warning, logName_, cause + "; trying again with a growing pause");
}

bool MqttClient::Subscribe(const std::string &pattern) {
    return mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), session_.qos) == MOSQ_ERR_SUCCESS;
}

int MqttClient::SetWill() {
    if (!handlers_.will)
        return MOSQ_ERR_SUCCESS;
    const MqttMessage will = handlers_.will();
    return mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                              will.payload.data(), will.qos, will.retain);
}

bool MqttClient::Send(const MqttMessage &message, int *mid) {
    if (!connected_)
        return false;
    const int rc = mosquitto_publish(mosq_, mid, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), message.qos, message.retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    ++statistics_.publishes;
    ++publishes_;
    return true;
}

bool MqttClient::Publish(const std::string &topic, const std::string &payload, bool retain) {
    return Send({topic, payload, session_.qos, retain}, nullptr);
}

bool MqttClient::Publish(const MqttMessage &message) {
    return Send(message, nullptr);
}

void MqttClient::Stop(const std::string &topic, const std::string &payload) {
    Stop(MqttMessage{topic, payload, session_.qos, true});
}

void MqttClient::Stop(const MqttMessage &goodbye) {
    if (!thread_.joinable())
        return;
    int mid = 0;
    if (Send(goodbye, &mid)) {
        // With QoS 0 there is no acknowledgement to wait for; the disconnect follows the
        // message out of the same socket.
        const auto until = std::chrono::steady_clock::now() + kGoodbyeWait;
        while (goodbye.qos > 0 && lastPublished_ != mid && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopping_ = true;
    mosquitto_disconnect(mosq_);
    thread_.join();
    connected_ = false;
}

void MqttClient::Drop(const MqttMessage &goodbye) {
    int mid = 0;
    const bool sent = Send(goodbye, &mid);
    connected_ = false; // nothing more goes out on this connection
    if (sent && goodbye.qos > 0) {
        dropBy_ = std::chrono::steady_clock::now() + kGoodbyeWait;
        dropAfter_ = mid; // OnPublish or Loop disconnects
        return;
    }
    // The loop then finds the connection closed and makes the next attempt after its pause.
    mosquitto_disconnect(mosq_);
}

MqttLineSnapshot MqttClient::Status() const {
    MqttLineSnapshot status;
    status.line = logName_;
    status.connected = connected_;
    status.publishes = publishes_;
    std::lock_guard lock(errorMutex_);
    status.lastError = lastError_;
    return status;
}

void MqttClient::OnConnect(mosquitto *, void *self, int rc) {
    auto &client = *static_cast<MqttClient *>(self);
    if (rc != 0) {
        client.refusal_ = mosquitto_connack_string(rc);
        return;
    }
    client.attemptConnected_ = true;
    client.lastCause_.clear();
    ++client.statistics_.connects;
    if (client.everConnected_.exchange(true))
        ++client.statistics_.reconnects;
    client.connected_ = true;
    client.freshConnect_ = true;
    Log(Level::Notice, client.logName_,
        "connected to broker " + client.broker_ + (client.tls_ ? " over TLS" : "") + " as " +
            client.session_.clientId);
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
        {
            std::lock_guard lock(client.errorMutex_);
            client.lastError_ = "connection to the broker lost";
        }
        Log(Level::Warning, client.logName_,
            "connection to the broker lost; polling goes on, connecting again with a growing "
            "pause");
    }
}

void MqttClient::OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto &client = *static_cast<MqttClient *>(self);
    if (!client.handlers_.message || message->topic == nullptr)
        return;
    const auto *bytes = static_cast<const char *>(message->payload);
    const std::string payload(bytes == nullptr ? "" : bytes,
                              static_cast<size_t>(message->payloadlen));
    if (message->retain && client.handlers_.retained &&
        client.handlers_.retained(message->topic, payload))
        return;
    if (message->retain) {
        Log(Level::Warning, client.logName_,
            std::string("ignored the retained command on ") + message->topic +
                " (publish commands without the retain flag)");
        return;
    }
    client.handlers_.message(message->topic, payload);
}

void MqttClient::OnLog(mosquitto *, void *self, int level, const char *text) {
    auto &client = *static_cast<MqttClient *>(self);
    if (level == MOSQ_LOG_ERR && client.tls_ && std::strncmp(text, "OpenSSL Error", 13) == 0)
        client.tls_->NoteLibraryError(text);
}

void MqttClient::OnPublish(mosquitto *, void *self, int mid) {
    auto &client = *static_cast<MqttClient *>(self);
    client.lastPublished_ = mid;
    int expected = mid;
    if (client.dropAfter_.compare_exchange_strong(expected, -1))
        mosquitto_disconnect(client.mosq_);
}

} // namespace vpisd::gateway
