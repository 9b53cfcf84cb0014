#include "mqtt_fixture.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace vpisd::gateway::mqtt_test {

Broker::Broker(const TempDir &dir, const std::string &extraConfig) : port_(FreePort()) {
    const std::string anonymous =
        extraConfig.find("allow_anonymous") == std::string::npos ? "allow_anonymous true\n" : "";
    config_ = dir.Write("mosquitto.conf", "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                                              anonymous + "persistence false\n" + extraConfig);
    Start();
}

void Broker::Start() {
    child_ = std::make_unique<ChildProcess>("/usr/sbin/mosquitto",
                                            std::vector<std::string>{"-c", config_});
    if (!vpisd::test::WaitForListener(port_, 10000))
        throw std::runtime_error("mosquitto did not start: " + child_->sofar().err);
}

void Broker::Stop() {
    if (!child_)
        return;
    child_->Signal(SIGTERM);
    child_->Finish(10000);
    child_.reset();
}

Subscriber::Subscriber(uint16_t port, const std::string &pattern) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, OnMessage);
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("subscriber cannot connect");
    mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1);
    mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void Subscriber::OnMessage(mosquitto *, void *self, const mosquitto_message *message) {
    auto &subscriber = *static_cast<Subscriber *>(self);
    Message kept{message->topic,
                 std::string(static_cast<const char *>(message->payload),
                             static_cast<size_t>(message->payloadlen)),
                 message->retain, message->qos};
    std::lock_guard lock(subscriber.mutex_);
    subscriber.messages_.push_back(std::move(kept));
    subscriber.arrived_.notify_all();
}

void Subscriber::Publish(const std::string &topic, const std::string &payload, bool retain) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
}

size_t Subscriber::Count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}

std::vector<Message> Subscriber::On(const std::string &topic) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> found;
    for (const Message &message : messages_) {
        if (message.topic == topic)
            found.push_back(message);
    }
    return found;
}

std::vector<Message> Subscriber::Since(size_t from) const {
    std::lock_guard lock(mutex_);
    return {messages_.begin() + static_cast<std::ptrdiff_t>(std::min(from, messages_.size())),
            messages_.end()};
}

std::optional<Message> Subscriber::WaitFor(const std::string &topic,
                                           const std::function<bool(const Message &)> &test,
                                           std::chrono::milliseconds timeout, size_t from) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    size_t next = from;
    while (true) {
        for (; next < messages_.size(); ++next) {
            if (messages_[next].topic == topic && test(messages_[next]))
                return messages_[next];
        }
        if (arrived_.wait_until(lock, until) == std::cv_status::timeout && next == messages_.size())
            return std::nullopt;
    }
}

std::function<bool(const Message &)> IsValue(std::optional<int64_t> value,
                                             const std::string &quality) {
    return [value, quality](const Message &message) {
        const Json json = message.json();
        return json.is_object() && json.value("quality", "") == quality &&
               (!value || (json["value"].is_number_integer() && json["value"] == *value));
    };
}

std::function<bool(const Message &)> IsPayload(const std::string &payload) {
    return [payload](const Message &message) { return message.payload == payload; };
}

Plant::Plant(const std::string &brokerConfig)
    : line_(vpisd::test::StartSimLine(
          "[plc P1]\nroute = 1+5\nbackup = 2+5\n[plc P2]\nroute = 1+7\n", dir_, "plant.int")),
      broker_(dir_, brokerConfig), modbusPort_(FreePort()) {}

Plant::~Plant() {
    StopGateway();
    broker_.Stop();
    line_.sim->Stop();
}

std::string Plant::ConfigText(const std::string &extra, const std::string &gatewayKeys,
                              const std::string &unitKeys) const {
    return "[gateway]\nlisten = \"127.0.0.1:" + std::to_string(modbusPort_) + "\"\n" + gatewayKeys +
           "\n[[line]]\nname = \"north\"\nport = \"" + line_.port +
           "\"\nvpi = 1\ninit = \"plant.int\"\ntimeout_ms = " + std::to_string(timeoutMs_) + "\n" +
           lineKeys_ +
           (units_ ? "\n[[unit]]\nid = 1\nline = \"north\"\nplc = \"P1\"\n"
                     "\n[[unit]]\nid = 2\nline = \"north\"\nplc = \"P2\"\n" +
                         unitKeys
                   : std::string()) +
           (mqtt_ ? "\n[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(broker_.port()) +
                        "\"\nclient_id = \"vpisd-test\"\ntopic_prefix = \"vpisd\"\nqos = 1\n\n"
                  : std::string("\n")) +
           extra;
}

void Plant::StartGateway(const std::string &extra, const std::string &gatewayKeys,
                         const std::string &unitKeys) {
    const std::string config = dir_.Write("gateway.toml", ConfigText(extra, gatewayKeys, unitKeys));
    gateway_ = std::make_unique<ChildProcess>(
        VPISD_GATEWAY_PATH,
        std::vector<std::string>{"--lib", VPISD_LIBRARY_PATH, "--config", config});
}

bool Plant::ReloadGateway(const std::string &extra, const std::string &unitKeys,
                          const std::string &logged) {
    dir_.Write("gateway.toml", ConfigText(extra, "", unitKeys));
    gateway_->Signal(SIGHUP);
    return gateway_->WaitForError(logged, 15000);
}

int Plant::StopGateway(int signal) {
    if (!gateway_)
        return -1;
    gateway_->Signal(signal);
    const vpisd::test::ChildResult result = gateway_->Finish(15000);
    stoppedLog_ = result.err + result.out;
    gateway_.reset();
    return result.exitCode;
}

bool Plant::WaitForCount(const std::string &counter, uint64_t atLeast,
                         std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (gateway_ && std::chrono::steady_clock::now() < until) {
        gateway_->Signal(SIGUSR1);
        std::this_thread::sleep_for(500ms);
        const std::string log = GatewayLog();
        const size_t at = log.rfind(counter);
        if (at != std::string::npos && std::stoull(log.substr(at + counter.size())) >= atLeast)
            return true;
    }
    return false;
}

std::string Plant::GatewayLog() const {
    if (!gateway_)
        return stoppedLog_;
    const vpisd::test::ChildResult sofar = gateway_->sofar();
    return sofar.err + sofar.out;
}

bool Plant::WaitForLog(const std::string &text, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (GatewayLog().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::optional<std::string> ResultOf(Subscriber &subscriber, const std::string &setTopic,
                                    const std::string &payload, std::chrono::milliseconds timeout) {
    const size_t from = subscriber.Count();
    subscriber.Publish(setTopic, payload);
    const auto result = subscriber.WaitFor(
        setTopic + "/result", [](const Message &) { return true; }, timeout, from);
    return result ? std::optional(result->payload) : std::nullopt;
}

} // namespace vpisd::gateway::mqtt_test
