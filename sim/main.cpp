// vpisd-sim: serves a simulated SY/MAX network on a pseudo-terminal until SIGINT or SIGTERM.
#include "simulator.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using vpisd::sim::SimError;

std::mutex outputMutex;

void Print(const std::string &text) {
    std::lock_guard lock(outputMutex);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Answers commands from `in` until it ends; "quit" ends the program.
void ServeCommands(vpisd::sim::Simulator &sim, std::istream &in) {
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        Print(sim.Control(line));
        if (sim.QuitRequested())
            kill(getpid(), SIGTERM);
    }
}

void ServeFifo(vpisd::sim::Simulator &sim, const std::string &path) {
    // Opened for reading and writing, so that it never reports end of file between writers.
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror(("vpisd-sim: " + path).c_str());
        return;
    }
    std::string pending;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::istringstream one(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            ServeCommands(sim, one);
        }
    }
    close(fd);
}

std::string ReadFile(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw SimError("cannot read " + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Parses a file's text; its errors name the file.
template <typename Parse> auto FromFile(const std::string &file, Parse parse) {
    const std::string text = ReadFile(file);
    try {
        return parse(text);
    } catch (const SimError &e) {
        throw SimError(file + ": " + e.what());
    }
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"Simulated SY/MAX network on a pseudo-terminal"};
    std::string configFile, initFile, direct, controlPath, initOut, linkPath, enquiry;
    std::vector<std::string> plcLines;
    size_t registers = 0;
    unsigned baud = 0, bits = 0;
    uint32_t seed = 0;
    bool noStdin = false, trace = false;
    app.add_option("--config", configFile, "network file")->check(CLI::ExistingFile);
    app.add_option("--init", initFile, "add the PLCs of a driver init file (registers zero)")
        ->check(CLI::ExistingFile);
    app.add_option("--plc", plcLines, "add a PLC: NAME=DROPS[,DROPS]");
    app.add_option("--direct", direct, "the PLC reached without a route");
    app.add_option("--registers", registers, "default register count")->check(CLI::Range(1, 9999));
    app.add_option("--control", controlPath, "FIFO of control commands");
    app.add_flag("--no-stdin", noStdin, "do not read control commands from stdin");
    app.add_option("--init-out", initOut, "write the matching driver init file");
    app.add_option("--link", linkPath, "symbolic link to the pty slave");
    app.add_option("--baud", baud, "pace the bytes sent at this baud rate");
    app.add_option("--bits", bits, "bits per character for the pacing")->check(CLI::Range(7, 16));
    app.add_option("--enquiry", enquiry, "answer to the enquiry: last, 11, 12 or 15");
    app.add_option("--seed", seed, "seed of the prob= faults");
    app.add_flag("--trace", trace, "print every byte on stderr");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help answers 0; every refused flag is a bad start, status 2 as for a bad config.
        return app.exit(e) == 0 ? 0 : 2;
    }

    vpisd::sim::NetworkConfig config;
    try {
        if (!configFile.empty()) {
            config = FromFile(
                configFile, [](const std::string &text) { return vpisd::sim::ParseNetwork(text); });
        }
        if (!initFile.empty()) {
            for (auto &plc : FromFile(initFile, [](const std::string &text) {
                     return vpisd::sim::ParseInitFile(text);
                 })) {
                config.plcs.push_back(std::move(plc));
            }
        }
        for (const std::string &line : plcLines)
            config.plcs.push_back(vpisd::sim::ParsePlcLine(line));
        if (!direct.empty()) {
            bool found = false;
            for (auto &plc : config.plcs) {
                plc.direct = plc.name == direct;
                found = found || plc.direct;
            }
            if (!found) {
                config.plcs.push_back(vpisd::sim::PlcConfig{});
                config.plcs.back().name = direct;
                config.plcs.back().direct = true;
            }
        }
        if (config.plcs.empty())
            throw SimError("no PLCs: give --config or --plc");
        if (registers != 0)
            config.defaultRegisters = registers;
        if (app.count("--baud") != 0)
            config.baud = baud;
        if (bits != 0)
            config.bitsPerChar = bits;
        if (!enquiry.empty())
            config.enquiryAnswer = vpisd::sim::ParseEnquiryAnswer(enquiry);
        if (app.count("--seed") != 0)
            config.seed = seed;
        vpisd::sim::ValidateNetwork(config);
        if (!initOut.empty()) {
            std::ofstream out(initOut, std::ios::binary);
            out << vpisd::sim::InitFileText(config);
            if (!out)
                throw SimError("cannot write " + initOut);
        }
        if (!controlPath.empty() && !std::filesystem::exists(controlPath) &&
            mkfifo(controlPath.c_str(), 0600) != 0) {
            throw SimError("cannot create the FIFO " + controlPath);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vpisd-sim: %s\n", e.what());
        return 2;
    }

    // Signals are taken by sigwait below, never by an arbitrary thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<vpisd::sim::Simulator> sim;
    try {
        sim = std::make_unique<vpisd::sim::Simulator>(config);
        if (trace) {
            sim->SetTrace([](const std::string &line) {
                std::lock_guard lock(outputMutex);
                std::fprintf(stderr, "%s\n", line.c_str());
            });
        }
        sim->Start();
        if (!linkPath.empty()) {
            std::filesystem::remove(linkPath);
            std::filesystem::create_symlink(sim->PortPath(), linkPath);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vpisd-sim: %s\n", e.what());
        return 2;
    }
    Print("PORT " + sim->PortPath() + "\n");

    // The readers block in read(); they are left behind at exit rather than joined.
    if (!noStdin)
        std::thread([&] { ServeCommands(*sim, std::cin); }).detach();
    if (!controlPath.empty())
        std::thread([&] { ServeFifo(*sim, controlPath); }).detach();

    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim->Stop();
    // Only a link that still names this simulator's pty: another simulator started with the same
    // --link meanwhile has re-pointed it to its own, which stays.
    if (!linkPath.empty()) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(linkPath, ignored) == sim->PortPath())
            std::filesystem::remove(linkPath, ignored);
    }
    Print(sim->GetStats().Format() + "END\n");
    std::_Exit(0); // the detached readers may still hold stdin
}
