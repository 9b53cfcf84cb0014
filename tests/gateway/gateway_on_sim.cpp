#include "gateway_on_sim.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vpisd::gateway::test {

std::string LineToml(const std::string &name, const std::string &port, int vpi,
                     const std::string &init, const std::string &extra) {
    std::string text = "[[line]]\nname = \"" + name + "\"\nport = \"" + port +
                       "\"\nvpi = " + std::to_string(vpi) + "\n";
    if (!init.empty())
        text += "init = \"" + init + "\"\n";
    if (extra.find("timeout_ms") == std::string::npos)
        text += "timeout_ms = " + std::to_string(kLineTimeoutMs) + "\n";
    return text + extra + "\n";
}

double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // field 3 onwards
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) { // utime and stime are fields 14 and 15
        if (i >= 14)
            ticks += std::stoul(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int OpenDescriptors(pid_t pid) {
    int count = 0;
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count - 2; // "." and ".."
}

long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

std::string UnitToml(int id, const std::string &line, const std::string &plc,
                     const std::string &extra) {
    return "[[unit]]\nid = " + std::to_string(id) + "\nline = \"" + line + "\"\nplc = \"" + plc +
           "\"\n" + extra + "\n";
}

std::string GatewayToml(const std::string &body, const std::string &serverKeys) {
    return "[gateway]\nlisten = \"127.0.0.1:0\"\n" + serverKeys + "\n" + body;
}

Gateway::Gateway(const TempDir &dir, const std::string &body, const std::string &serverKeys,
                 const ChildOptions &options) {
    const std::string config = dir.Write("gateway.toml", GatewayToml(body, serverKeys));
    // Started in a folder of the test's choosing, the gateway is given the file as a path
    // relative to it, the way a person in that folder names it.
    const std::string named =
        options.cwd.empty() ? config : std::filesystem::relative(config, options.cwd).string();
    process_ = std::make_unique<ChildProcess>(
        VPISD_GATEWAY_PATH,
        std::vector<std::string>{"--config", named, "--lib", VPISD_LIBRARY_PATH}, options);
    if (!process_->WaitForError("listening on 127.0.0.1:", 10000))
        throw std::runtime_error("the gateway does not listen: " + process_->sofar().err);
    process_->WaitForError("\n", 1000);
    std::smatch match;
    const std::string err = process_->sofar().err;
    if (!std::regex_search(err, match, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")))
        throw std::runtime_error("no port in: " + err);
    port_ = static_cast<uint16_t>(std::stoi(match[1].str()));
    // It listens before its lines have opened their devices; it is ready once they tried.
    if (!process_->WaitForError("ready: ", 20000))
        throw std::runtime_error("the gateway is not ready: " + process_->sofar().err);
    if (body.find("[http]") == std::string::npos)
        return;
    process_->WaitForError("status endpoint on http://127.0.0.1:", 5000);
    const std::string withHttp = process_->sofar().err;
    if (!std::regex_search(withHttp, match,
                           std::regex("status endpoint on http://127\\.0\\.0\\.1:([0-9]+)/")))
        throw std::runtime_error("no status endpoint in: " + withHttp);
    httpPort_ = static_cast<uint16_t>(std::stoi(match[1].str()));
}

Gateway::~Gateway() {
    if (!stopped_)
        Stop();
}

ChildResult Gateway::Stop() {
    stopped_ = true;
    process_->Signal(SIGTERM);
    return process_->Finish(30000);
}

Client Connect(uint16_t port, int unit, int timeoutMs) {
    Client client(modbus_new_tcp("127.0.0.1", port));
    if (!client)
        return nullptr;
    modbus_set_slave(client.get(), unit);
    modbus_set_response_timeout(client.get(), static_cast<uint32_t>(timeoutMs / 1000),
                                static_cast<uint32_t>((timeoutMs % 1000) * 1000));
    if (modbus_connect(client.get()) != 0)
        return nullptr;
    return client;
}

size_t Occurrences(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

void ReadOnce(uint16_t port, int unit, bool expectOk) {
    Client client = Connect(port, unit);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), expectOk ? 1 : -1);
}

int LastException() {
    const int code = errno - MODBUS_ENOBASE;
    return code > 0 && code < MODBUS_EXCEPTION_MAX ? code : 0;
}

int RawException(modbus_t *client, const std::vector<uint8_t> &pdu) {
    std::vector<uint8_t> request{static_cast<uint8_t>(modbus_get_slave(client))};
    request.insert(request.end(), pdu.begin(), pdu.end());
    if (modbus_send_raw_request(client, request.data(), static_cast<int>(request.size())) < 0)
        return -1;
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    if (modbus_receive_confirmation(client, answer) < 0)
        return -1;
    const int header = modbus_get_header_length(client);
    return (answer[header] & 0x80) != 0 ? answer[header + 1] : 0;
}

RawConnection::RawConnection(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

RawConnection::~RawConnection() {
    close(fd_);
}

void RawConnection::Send(const std::vector<uint8_t> &bytes) const {
    [[maybe_unused]] const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::vector<uint8_t> RawConnection::Receive(size_t count, int timeoutMs) const {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            break;
        uint8_t buffer[MODBUS_TCP_MAX_ADU_LENGTH];
        const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool RawConnection::ClosedByPeer(int timeoutMs) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return false;
    uint8_t byte = 0;
    return recv(fd_, &byte, 1, 0) <= 0;
}

std::string HttpToml(const std::string &allow) {
    return "[http]\nlisten = \"127.0.0.1:0\"\n" + (allow.empty() ? "" : "allow = " + allow + "\n") +
           "\n";
}

HttpAnswer HttpExchange(uint16_t port, const std::string &request, int timeoutMs) {
    RawConnection connection(port);
    HttpAnswer answer;
    if (!connection.connected())
        return answer;
    const int fd = connection.fd();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Sending and reading at once: the answer to a request too large may come before its end.
    std::string text;
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, static_cast<short>(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            break;
        if ((p.revents & POLLOUT) != 0) {
            const ssize_t n = send(fd, request.data() + sent,
                                   std::min<size_t>(request.size() - sent, 1 << 16), MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (errno != EAGAIN && errno != EINTR)
                sent = request.size(); // no longer read: the answer may still come
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[1 << 16];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    const size_t end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return answer;
    answer.status = std::stoi(text.substr(9, 3));
    answer.headers = text.substr(0, end);
    answer.body = text.substr(end + 4);
    return answer;
}

HttpAnswer HttpRequest(uint16_t port, const std::string &method, const std::string &path,
                       int timeoutMs) {
    return HttpExchange(
        port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
        timeoutMs);
}

std::optional<double> MetricSample(const std::string &metrics, const std::string &series) {
    const size_t at = metrics.find("\n" + series + " ");
    if (at == std::string::npos)
        return std::nullopt;
    return std::stod(metrics.substr(at + series.size() + 2));
}

std::string HttpGet(uint16_t port, const std::string &path) {
    const HttpAnswer answer = HttpRequest(port, "GET", path);
    EXPECT_EQ(answer.status, 200) << path;
    return answer.body;
}

std::string PromtoolProblems(const TempDir &dir, const std::string &metrics) {
    const std::string file = dir.Write("metrics.txt", metrics);
    const ChildResult result =
        RunChild("/bin/sh", {"-c", "promtool check metrics < '" + file + "'"}, 30000);
    return result.exitCode == 0 && result.out.empty() && result.err.empty()
               ? ""
               : "exit " + std::to_string(result.exitCode) + ": " + result.out + result.err +
                     " (promtool comes from scripts/ensure-deps.sh)";
}

std::string RenderedPage(const TempDir &dir, uint16_t port) {
    const ChildResult result =
        RunChild("chromium",
                 {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + dir.path() + "/chromium", "--virtual-time-budget=5000",
                  "--dump-dom", "http://127.0.0.1:" + std::to_string(port) + "/"},
                 60000);
    return result.exitCode == 0
               ? result.out
               : "chromium failed (exit " + std::to_string(result.exitCode) + "): " + result.err;
}

std::vector<std::string> CellsFrom(const std::string &dom, const std::string &from) {
    std::vector<std::string> cells;
    const size_t begin = dom.find(from);
    if (begin == std::string::npos)
        return cells;
    const std::string row = dom.substr(begin, dom.find("</tr>", begin) - begin);
    const std::regex cell("<td[^>]*>(.*?)</td>");
    for (auto it = std::sregex_iterator(row.begin(), row.end(), cell); it != std::sregex_iterator();
         ++it)
        cells.push_back(std::regex_replace((*it)[1].str(), std::regex("<[^>]*>"), ""));
    return cells;
}

std::vector<std::string> RowCells(const std::string &dom, const std::string &id) {
    return CellsFrom(dom, "<tr id=\"" + id + "\"");
}

PortHolder::PortHolder(const std::string &device, const std::string &name) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        // Only system calls from here: the test process has other threads.
        prctl(PR_SET_NAME, name.c_str());
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
        const char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        if (write(ready[1], &held, 1) != 1 || held == 0)
            _exit(1);
        while (true)
            pause();
    }
    close(ready[1]);
    char held = 0;
    pollfd wait{ready[0], POLLIN, 0};
    holding_ = pid_ > 0 && poll(&wait, 1, 10000) == 1 && read(ready[0], &held, 1) == 1 && held == 1;
    close(ready[0]);
}

void PortHolder::Release() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    holding_ = false;
}

SilentPty::SilentPty() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    const char *name = nullptr;
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
        name = ptsname(master_);
    if (name != nullptr)
        path_ = name;
}

SilentPty::~SilentPty() {
    if (master_ >= 0)
        close(master_);
}

NotifySocket::NotifySocket(const TempDir &dir) : path_(dir.path() + "/notify") {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

NotifySocket::~NotifySocket() {
    close(fd_);
}

std::string NotifySocket::WaitFor(const std::string &what, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) != 1)
            continue;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            continue;
        seen_ += std::string(buffer, static_cast<size_t>(n)) + "\n";
        if (seen_.find(what) != std::string::npos) {
            std::string out;
            out.swap(seen_);
            return out;
        }
    }
    return {};
}

DeviceLink::DeviceLink(const std::string &target) {
    for (unsigned n = static_cast<unsigned>(getpid()) & 0xFFFF;; n = (n + 1) & 0xFFFF) {
        char name[16];
        std::snprintf(name, sizeof name, "/tmp/vg%04x", n);
        if (symlink(target.c_str(), name) == 0) {
            path_ = name;
            return;
        }
    }
}

DeviceLink::~DeviceLink() {
    unlink(path_.c_str());
}

void DeviceLink::Remove() const {
    unlink(path_.c_str());
}

void DeviceLink::PointAt(const std::string &target) const {
    const std::string next = path_ + ".new";
    unlink(next.c_str());
    if (symlink(target.c_str(), next.c_str()) == 0)
        rename(next.c_str(), path_.c_str());
}

} // namespace vpisd::gateway::test
