#include "sim_network.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vpisd::cli::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vpisd-cli-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

std::vector<std::string> TempDir::List() const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

SimNetwork::SimNetwork(const std::string &networkText) {
    const auto config = vpisd::sim::ParseNetwork(networkText);
    sim_ = std::make_unique<vpisd::sim::Simulator>(config);
    sim_->Start();
    port_ = sim_->PortPath();
    const std::string init = vpisd::sim::InitFileText(config);
    if (!init.empty())
        initPath_ = dir_.Write("plant.int", init);
}

std::vector<std::string> SimNetwork::Args(const std::vector<std::string> &extra) const {
    std::vector<std::string> args{"--lib", VPISD_LIBRARY_PATH, "--port",
                                  port(),  "--timeout",        "200"};
    if (!initPath_.empty()) {
        args.push_back("--init");
        args.push_back(initPath_);
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
