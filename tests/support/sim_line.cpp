#include "support/sim_line.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/config.h"

namespace vpisd::test {
namespace {

SimLine Start(const vpisd::sim::NetworkConfig &config) {
    SimLine line;
    line.sim = std::make_unique<vpisd::sim::Simulator>(config);
    line.sim->Start();
    line.port = line.sim->PortPath();
    return line;
}

} // namespace

SimLine StartSimLine(const std::string &networkText, const TempDir &dir,
                     const std::string &initName) {
    const auto config = vpisd::sim::ParseNetwork(networkText);
    SimLine line = Start(config);
    const std::string init = vpisd::sim::InitFileText(config);
    if (!init.empty())
        line.init = dir.Write(initName, init);
    return line;
}

SimLine StartSimLine(const std::string &networkText) {
    return Start(vpisd::sim::ParseNetwork(networkText));
}

std::string OtherProcessesOnPort(const SimLine &line, const std::vector<pid_t> &own) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path port = fs::canonical(line.port, ec);
    if (ec)
        return "";
    std::string found;
    for (const fs::directory_entry &process : fs::directory_iterator("/proc", ec)) {
        const std::string name = process.path().filename().string();
        if (name.empty() || !std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const auto pid = static_cast<pid_t>(std::stol(name));
        if (pid == getpid() || std::ranges::find(own, pid) != own.end())
            continue;
        std::error_code listing;
        bool holds = false;
        for (const fs::directory_entry &fd :
             fs::directory_iterator(process.path() / "fd", listing)) {
            std::error_code link;
            holds = holds || fs::read_symlink(fd.path(), link) == port;
        }
        if (!holds)
            continue;
        std::ifstream cmdline(process.path() / "cmdline");
        std::string command(std::istreambuf_iterator<char>(cmdline), {});
        std::ranges::replace(command, '\0', ' ');
        found += name + ": " + command + "\n";
    }
    return found;
}

} // namespace vpisd::test
