#include "support/sim_line.h"

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

} // namespace vpisd::test
