#include "sim_network.h"

#include <sstream>

namespace vpisd::cli::test {

std::vector<std::string> SimNetwork::Args(const std::vector<std::string> &extra) const {
    std::vector<std::string> args{"--lib", VPISD_LIBRARY_PATH, "--port",
                                  port(),  "--timeout",        "200"};
    if (!initPath().empty()) {
        args.push_back("--init");
        args.push_back(initPath());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace vpisd::cli::test
