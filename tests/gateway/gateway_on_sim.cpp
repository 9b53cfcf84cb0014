#include "gateway_on_sim.h"

#include <cerrno>
#include <regex>
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

std::string UnitToml(int id, const std::string &line, const std::string &plc,
                     const std::string &extra) {
    return "[[unit]]\nid = " + std::to_string(id) + "\nline = \"" + line + "\"\nplc = \"" + plc +
           "\"\n" + extra + "\n";
}

Gateway::Gateway(const TempDir &dir, const std::string &body, const std::string &serverKeys) {
    const std::string config = dir.Write("gateway.toml", "[gateway]\nlisten = \"127.0.0.1:0\"\n" +
                                                             serverKeys + "\n" + body);
    process_ = std::make_unique<ChildProcess>(
        VPISD_GATEWAY_PATH,
        std::vector<std::string>{"--config", config, "--lib", VPISD_LIBRARY_PATH});
    if (!process_->WaitForError("listening on 127.0.0.1:", 10000))
        throw std::runtime_error("the gateway does not listen: " + process_->sofar().err);
    process_->WaitForError("\n", 1000);
    std::smatch match;
    const std::string &err = process_->sofar().err;
    if (!std::regex_search(err, match, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")))
        throw std::runtime_error("no port in: " + err);
    port_ = static_cast<uint16_t>(std::stoi(match[1].str()));
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

} // namespace vpisd::gateway::test
