#include "mqtt_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vpisd::gateway::mqtt_test {
namespace {

bool Accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string ReadFile(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

Child::Child(const std::vector<std::string> &args, const std::string &logFile) {
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0) {
        Signal(SIGTERM);
        Wait(10s);
    }
}

void Child::Signal(int signal) const {
    if (pid_ > 0)
        kill(pid_, signal);
}

int Child::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    const auto until = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Broker::Broker(const TempDir &dir, const std::string &extraConfig) : port_(FreePort()) {
    const std::string anonymous =
        extraConfig.find("allow_anonymous") == std::string::npos ? "allow_anonymous true\n" : "";
    config_ = dir.Write("mosquitto.conf", "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                                              anonymous + "persistence false\n" + extraConfig);
    log_ = dir.path() + "/mosquitto.log";
    Start();
}

void Broker::Start() {
    child_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config_},
                                     log_);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!Accepts(port_)) {
        if (std::chrono::steady_clock::now() >= until)
            throw std::runtime_error("mosquitto did not start: " + ReadFile(log_));
        std::this_thread::sleep_for(20ms);
    }
}

void Broker::Stop() {
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
                 message->retain};
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
    : broker_(dir_, brokerConfig), modbusPort_(FreePort()) {
    const auto network =
        sim::ParseNetwork("[plc P1]\nroute = 1+5\nbackup = 2+5\n[plc P2]\nroute = 1+7\n");
    sim_ = std::make_unique<sim::Simulator>(network);
    sim_->Start();
    dir_.Write("plant.int", sim::InitFileText(network));
}

Plant::~Plant() {
    gateway_.reset();
    broker_.Stop();
    sim_->Stop();
}

std::string Plant::ConfigText(const std::string &extra, const std::string &gatewayKeys,
                              const std::string &unitKeys) const {
    return "[gateway]\nlisten = \"127.0.0.1:" + std::to_string(modbusPort_) + "\"\n" + gatewayKeys +
           "\n[[line]]\nname = \"north\"\nport = \"" + sim_->PortPath() +
           "\"\nvpi = 1\ninit = \"plant.int\"\ntimeout_ms = 100\n"
           "\n[[unit]]\nid = 1\nline = \"north\"\nplc = \"P1\"\n"
           "\n[[unit]]\nid = 2\nline = \"north\"\nplc = \"P2\"\n" +
           unitKeys + "\n[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(broker_.port()) +
           "\"\nclient_id = \"vpisd-test\"\ntopic_prefix = \"vpisd\"\nqos = 1\n\n" + extra;
}

void Plant::StartGateway(const std::string &extra, const std::string &gatewayKeys,
                         const std::string &unitKeys) {
    const std::string config = dir_.Write("gateway.toml", ConfigText(extra, gatewayKeys, unitKeys));
    gateway_ =
        std::make_unique<Child>(std::vector<std::string>{VPISD_GATEWAY_PATH, "--lib",
                                                         VPISD_LIBRARY_PATH, "--config", config},
                                dir_.path() + "/gateway.log");
}

int Plant::StopGateway(int signal) {
    if (!gateway_)
        return -1;
    gateway_->Signal(signal);
    const int status = gateway_->Wait(15s);
    gateway_.reset();
    return status;
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
    return ReadFile(dir_.path() + "/gateway.log");
}

std::pair<int, std::string> CheckConfig(const TempDir &dir, const std::string &configText) {
    const std::string config = dir.Write("check.toml", configText);
    const std::string log = dir.path() + "/check.log";
    std::filesystem::remove(log);
    Child child({VPISD_GATEWAY_PATH, "--lib", VPISD_LIBRARY_PATH, "--config", config, "--check"},
                log);
    const int status = child.Wait(30s);
    return {status, ReadFile(log)};
}

} // namespace vpisd::gateway::mqtt_test
