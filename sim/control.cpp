// The control commands of the running simulator: faults, registers, statistics.
#include "simulator.h"

#include <sstream>
#include <vector>

namespace vpisd::sim {

namespace {

std::vector<std::string> Words(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

} // namespace

std::string Simulator::Control(std::string_view command) {
    try {
        return RunCommand(command);
    } catch (const std::exception &e) {
        return std::string("ERR ") + e.what() + "\n";
    }
}

std::string Simulator::RunCommand(std::string_view command) {
    const std::vector<std::string> words = Words(command);
    if (words.empty())
        throw SimError("empty command");
    const std::string &verb = words[0];

    if (verb == "fault") {
        const size_t at = command.find("fault") + 5;
        return "OK fault " + std::to_string(AddFault(command.substr(at))) + "\n";
    }
    if (verb == "clear") {
        std::lock_guard lock(mutex_);
        FaultSet &faults = network_.faults();
        size_t n = 0;
        if (words.size() == 1) {
            n = faults.Clear();
        } else if (words[1].find_first_not_of("0123456789") == std::string::npos) {
            n = faults.ClearId(static_cast<int>(ParseNumber(words[1], 1'000'000'000, "fault id")));
        } else {
            n = faults.ClearPlc(words[1]);
        }
        return "OK cleared " + std::to_string(n) + "\n";
    }
    if (verb == "faults") {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const auto &[id, text] : network_.faults().List(Clock::now())) {
            out += "FAULT " + std::to_string(id) + " " + text + "\n";
        }
        return out + "OK\n";
    }
    if (verb == "set") {
        if (words.size() < 4)
            throw SimError("set <plc> <register> <value> [value...]");
        const size_t first = ParseNumber(words[2], 65535, "register");
        std::vector<uint16_t> values;
        for (size_t i = 3; i < words.size(); ++i) {
            values.push_back(static_cast<uint16_t>(ParseNumber(words[i], 0xFFFF, "value")));
        }
        std::lock_guard lock(mutex_);
        Plc &plc = network_.FindPlc(words[1]);
        plc.Get(first + values.size() - 1); // all or nothing
        for (size_t i = 0; i < values.size(); ++i)
            plc.Set(first + i, values[i]);
        return "OK\n";
    }
    if (verb == "get") {
        if (words.size() < 3 || words.size() > 4)
            throw SimError("get <plc> <register> [count]");
        const size_t first = ParseNumber(words[2], 65535, "register");
        const size_t count = words.size() == 4 ? ParseNumber(words[3], 9999, "count") : 1;
        std::lock_guard lock(mutex_);
        Plc &plc = network_.FindPlc(words[1]);
        std::string out = "VALUE " + words[1] + " " + std::to_string(first);
        for (size_t i = 0; i < count; ++i)
            out += " " + std::to_string(plc.Get(first + i));
        return out + "\nOK\n";
    }
    if (verb == "stats")
        return GetStats().Format() + "OK\n";
    if (verb == "reset-stats") {
        ResetStats();
        return "OK\n";
    }
    if (verb == "help") {
        return "HELP fault <plc|*> <normal|backup|any> <kind> [arg] [count=N|prob=P] "
               "[requests=N|seconds=S]\n"
               "HELP   kinds: silence delay checksum truncate noise stale noreverse error dead "
               "nak\n"
               "HELP clear [id|plc]     remove faults\n"
               "HELP faults             list the active faults\n"
               "HELP set <plc> <register> <value> [value...]\n"
               "HELP get <plc> <register> [count]\n"
               "HELP stats              counters; reset-stats clears them\n"
               "HELP quit               stop the simulator\n"
               "OK\n";
    }
    if (verb == "quit") {
        quit_ = true;
        return "OK\n";
    }
    throw SimError("unknown command \"" + verb + "\"");
}

} // namespace vpisd::sim
