#include "config.h"

#include "error.h"
#include "plc.h"

#include <cstdio>
#include <set>
#include <sstream>

namespace vpisd::sim {

namespace {

std::string Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

bool ParseYes(const std::string &text) {
    if (text == "yes" || text == "true" || text == "1")
        return true;
    if (text == "no" || text == "false" || text == "0")
        return false;
    throw SimError("expected yes or no, not \"" + text + "\"");
}

// "ramp FROM TO [STEP]", "counter [STEP]" or "random LOW HIGH" for register `reg`.
Motion ParseMotion(size_t reg, const std::vector<std::string> &words) {
    Motion motion;
    motion.reg = reg;
    auto number = [&](size_t i, const char *what) {
        return static_cast<uint16_t>(ParseNumber(words[i], 0xFFFF, what));
    };
    if (words[0] == "ramp" && (words.size() == 3 || words.size() == 4)) {
        motion.kind = MotionKind::Ramp;
        motion.from = number(1, "ramp start");
        motion.to = number(2, "ramp end");
        motion.step = words.size() == 4 ? number(3, "ramp step") : 1;
        if (motion.to < motion.from || motion.step == 0)
            throw SimError("a ramp runs up from its start to its end by a step of 1 or more");
    } else if (words[0] == "counter" && words.size() <= 2) {
        motion.step = words.size() == 2 ? number(1, "counter step") : 1;
    } else if (words[0] == "random" && words.size() == 3) {
        motion.kind = MotionKind::Random;
        motion.from = number(1, "random low");
        motion.to = number(2, "random high");
        if (motion.to < motion.from)
            throw SimError("random needs its low value first");
    } else {
        throw SimError("expected ramp FROM TO [STEP], counter [STEP] or random LOW HIGH");
    }
    return motion;
}

void SetPlcKey(PlcConfig &plc, const std::string &key, const std::string &value) {
    if (key == "route") {
        plc.route = value.empty() ? Drops{} : ParseDrops(value);
    } else if (key == "backup") {
        plc.backup = value.empty() ? Drops{} : ParseDrops(value);
    } else if (key == "direct") {
        plc.direct = ParseYes(value);
    } else if (key == "registers") {
        plc.registers = ParseNumber(value, kMaxRegisters, "register count");
        if (plc.registers == 0)
            throw SimError("register count 0");
    } else if (key == "down") {
        if (value == "normal") {
            plc.normalDown = true;
        } else if (value == "backup") {
            plc.backupDown = true;
        } else {
            throw SimError("down must be normal or backup");
        }
    } else if (!key.empty() && key.find_first_not_of("0123456789") == std::string::npos) {
        size_t reg = ParseNumber(key, kMaxRegisters, "register");
        std::istringstream words(value);
        std::vector<std::string> list;
        for (std::string word; words >> word;)
            list.push_back(word);
        if (!list.empty() && (list[0] == "ramp" || list[0] == "counter" || list[0] == "random")) {
            plc.motions.push_back(ParseMotion(reg, list));
            return;
        }
        std::istringstream values(value);
        size_t n = 0;
        for (std::string word; values >> word; ++n) {
            plc.initial.emplace_back(reg++,
                                     static_cast<uint16_t>(ParseNumber(word, 0xFFFF, "value")));
        }
        if (n == 0)
            throw SimError("register " + key + " without a value");
    } else {
        throw SimError("unknown key \"" + key + "\" in [plc " + plc.name + "]");
    }
}

void SetLineKey(NetworkConfig &config, const std::string &key, const std::string &value) {
    if (key == "baud") {
        config.baud = static_cast<unsigned>(ParseNumber(value, 10'000'000, "baud rate"));
    } else if (key == "bits") {
        config.bitsPerChar = static_cast<unsigned>(ParseNumber(value, 16, "bits per character"));
        if (config.bitsPerChar < 7)
            throw SimError("bits per character below 7");
    } else if (key == "enquiry") {
        config.enquiryAnswer = ParseEnquiryAnswer(value);
    } else if (key == "seed") {
        config.seed = static_cast<uint32_t>(ParseNumber(value, 0xFFFFFFFFul, "seed"));
    } else if (key == "max_words") {
        config.maxWords = ParseNumber(value, 65536, "max_words");
    } else if (key == "turnaround_ms") {
        config.turnaroundMs = static_cast<unsigned>(ParseNumber(value, 60'000, "turnaround_ms"));
    } else {
        throw SimError("unknown key \"" + key + "\" in [line]");
    }
}

} // namespace

unsigned long ParseNumber(const std::string &text, unsigned long max, const std::string &what) {
    size_t used = 0;
    unsigned long value = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    try {
        value = std::stoul(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        if (hex)
            used += 2;
    } catch (const std::exception &) {
        used = 0;
    }
    if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+' || value > max) {
        throw SimError("bad " + what + " \"" + text + "\"");
    }
    return value;
}

uint8_t ParseEnquiryAnswer(std::string_view text) {
    if (text == "last")
        return 0;
    if (text == "11")
        return 0x11;
    if (text == "12")
        return 0x12;
    if (text == "15")
        return 0x15;
    throw SimError("enquiry answer must be last, 11, 12 or 15");
}

NetworkConfig ParseNetwork(std::string_view text) {
    NetworkConfig config;
    enum class Section { None, Line, Plc } section = Section::None;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const size_t comment = raw.find_first_of("#;");
        const std::string line = Trim(raw.substr(0, comment));
        if (line.empty())
            continue;
        try {
            if (line.front() == '[') {
                if (line.back() != ']')
                    throw SimError("unclosed section header");
                const std::string header = Trim(std::string_view(line).substr(1, line.size() - 2));
                if (header == "line") {
                    section = Section::Line;
                } else if (header.rfind("plc ", 0) == 0 && !Trim(header.substr(4)).empty()) {
                    section = Section::Plc;
                    config.plcs.push_back(PlcConfig{});
                    config.plcs.back().name = Trim(header.substr(4));
                    if (config.plcs.back().name.find_first_of(" \t") != std::string::npos) {
                        throw SimError("PLC name with a space");
                    }
                } else {
                    throw SimError("unknown section [" + header + "]");
                }
                continue;
            }
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                throw SimError("expected key = value");
            const std::string key = Trim(std::string_view(line).substr(0, eq));
            const std::string value = Trim(std::string_view(line).substr(eq + 1));
            if (section == Section::Line) {
                SetLineKey(config, key, value);
            } else if (section == Section::Plc) {
                SetPlcKey(config.plcs.back(), key, value);
            } else {
                throw SimError("key outside a section");
            }
        } catch (const SimError &e) {
            throw SimError("line " + std::to_string(lineNumber) + ": " + e.what());
        }
    }
    return config;
}

PlcConfig ParsePlcLine(std::string_view text) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        throw SimError("expected NAME=DROPS[,DROPS], not \"" + std::string(text) + "\"");
    }
    PlcConfig plc;
    plc.name = Trim(text.substr(0, eq));
    const std::string_view routes = text.substr(eq + 1);
    const size_t comma = routes.find(',');
    plc.route = ParseDrops(routes.substr(0, comma));
    if (comma != std::string_view::npos)
        plc.backup = ParseDrops(routes.substr(comma + 1));
    return plc;
}

std::vector<PlcConfig> ParseInitFile(std::string_view text) {
    constexpr size_t kMaxLines = 99;
    std::vector<PlcConfig> plcs;
    size_t start = 0;
    for (size_t number = 1; number <= kMaxLines; ++number) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            break; // the driver does not use a last line without its line feed
        std::string line;
        for (const char c : text.substr(start, end - start)) {
            if (c != ' ' && c != '\r')
                line += c;
        }
        start = end + 1;
        if (line.empty())
            break; // a blank line ends the file
        try {
            plcs.push_back(ParsePlcLine(line));
        } catch (const SimError &e) {
            throw SimError("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return plcs;
}

void ValidateNetwork(const NetworkConfig &config) {
    std::set<std::string> names;
    std::set<Drops> routes;
    bool direct = false;
    for (const PlcConfig &plc : config.plcs) {
        if (!names.insert(plc.name).second)
            throw SimError("PLC " + plc.name + " defined twice");
        if (plc.direct) {
            if (direct)
                throw SimError("more than one direct PLC");
            direct = true;
        }
        if (plc.route.empty() && !plc.direct) {
            throw SimError("PLC " + plc.name + " has neither a route nor direct = yes");
        }
        if (!plc.backup.empty() && plc.route.empty()) {
            throw SimError("PLC " + plc.name + " has a backup route but no normal route");
        }
        for (const Drops *r : {&plc.route, &plc.backup}) {
            if (!r->empty() && !routes.insert(*r).second) {
                throw SimError("route " + DropsText(*r) + " is used twice");
            }
        }
        const size_t count = plc.registers != 0 ? plc.registers : config.defaultRegisters;
        for (const auto &[reg, value] : plc.initial) {
            if (reg < 1 || reg > count) {
                throw SimError("register " + std::to_string(reg) + " outside " + plc.name +
                               "'s 1.." + std::to_string(count));
            }
        }
        for (const Motion &motion : plc.motions) {
            if (motion.reg < 1 || motion.reg > count) {
                throw SimError("register " + std::to_string(motion.reg) + " outside " + plc.name +
                               "'s 1.." + std::to_string(count));
            }
        }
    }
    if (config.defaultRegisters < 1 || config.defaultRegisters > kMaxRegisters) {
        throw SimError("register count outside 1..9999");
    }
}

std::string InitFileText(const NetworkConfig &config) {
    std::string out;
    for (const PlcConfig &plc : config.plcs) {
        if (plc.route.empty())
            continue;
        if (plc.name.size() != 2) {
            throw SimError("the driver's init file needs two-character PLC names, not " + plc.name);
        }
        // A part of one drop needs three digits to be legal for the driver: "P2=007".
        auto part = [](const Drops &drops) {
            char padded[8];
            std::snprintf(padded, sizeof padded, "%03u", static_cast<unsigned>(drops[0]));
            return drops.size() == 1 ? std::string(padded) : DropsText(drops);
        };
        out += plc.name + "=" + part(plc.route);
        if (!plc.backup.empty())
            out += "," + part(plc.backup);
        out += "\n";
    }
    return out;
}

} // namespace vpisd::sim
