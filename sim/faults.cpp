#include "faults.h"

#include "error.h"

#include <algorithm>
#include <array>
#include <sstream>

namespace vpisd::sim {

namespace {

struct KindName {
    FaultKind kind;
    const char *name;
};
constexpr std::array kKindNames{
    KindName{FaultKind::Silence, "silence"},     KindName{FaultKind::Delay, "delay"},
    KindName{FaultKind::Checksum, "checksum"},   KindName{FaultKind::Truncate, "truncate"},
    KindName{FaultKind::Noise, "noise"},         KindName{FaultKind::Stale, "stale"},
    KindName{FaultKind::NoReverse, "noreverse"}, KindName{FaultKind::Error, "error"},
    KindName{FaultKind::Dead, "dead"},           KindName{FaultKind::Nak, "nak"},
};

unsigned ParseUnsigned(const std::string &text, int base, const std::string &what) {
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, base);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != text.size() || text.empty() || text[0] == '-' || value > 0xFFFFFFFFul) {
        throw SimError("bad " + what + " \"" + text + "\"");
    }
    return static_cast<unsigned>(value);
}

double ParseDouble(const std::string &text, const std::string &what) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != text.size() || text.empty() || !(value >= 0)) {
        throw SimError("bad " + what + " \"" + text + "\"");
    }
    return value;
}

bool PathMatches(PathFilter filter, RequestPath path) {
    switch (filter) {
    case PathFilter::Any:
        return true;
    case PathFilter::Normal:
        // A PLC reached without a route has only the one path.
        return path == RequestPath::Normal || path == RequestPath::Direct;
    case PathFilter::Backup:
        return path == RequestPath::Backup;
    }
    return false;
}

} // namespace

const char *FaultKindName(FaultKind kind) {
    for (const auto &entry : kKindNames) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

const char *RequestPathName(RequestPath path) {
    switch (path) {
    case RequestPath::Normal:
        return "normal";
    case RequestPath::Backup:
        return "backup";
    case RequestPath::Direct:
        return "direct";
    case RequestPath::Unknown:
        break;
    }
    return "unknown";
}

FaultRule ParseFault(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() < 3) {
        throw SimError("fault needs: <plc|*> <normal|backup|any> <kind> [arg] [options]");
    }
    FaultRule rule;
    rule.plc = words[0];
    if (words[1] == "normal") {
        rule.path = PathFilter::Normal;
    } else if (words[1] == "backup") {
        rule.path = PathFilter::Backup;
    } else if (words[1] == "any") {
        rule.path = PathFilter::Any;
    } else {
        throw SimError("bad path \"" + words[1] + "\" (normal, backup or any)");
    }
    const auto kind = std::find_if(kKindNames.begin(), kKindNames.end(),
                                   [&](const KindName &k) { return words[2] == k.name; });
    if (kind == kKindNames.end())
        throw SimError("unknown fault kind \"" + words[2] + "\"");
    rule.kind = kind->kind;

    for (size_t i = 3; i < words.size(); ++i) {
        const std::string &word = words[i];
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            if (i != 3 || rule.kind == FaultKind::Silence || rule.kind == FaultKind::Checksum ||
                rule.kind == FaultKind::Stale || rule.kind == FaultKind::NoReverse ||
                rule.kind == FaultKind::Dead || rule.kind == FaultKind::Nak) {
                throw SimError("unexpected \"" + word + "\"");
            }
            const bool hex = rule.kind == FaultKind::Error;
            rule.arg = ParseUnsigned(word, hex ? 16 : 10, "argument");
            if (hex && *rule.arg > 0xFF)
                throw SimError("error code above FF");
            continue;
        }
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (key == "count") {
            rule.count = ParseUnsigned(value, 10, "count");
        } else if (key == "prob") {
            rule.probability = ParseDouble(value, "probability");
            if (*rule.probability > 1)
                throw SimError("probability above 1");
        } else if (key == "requests") {
            rule.requests = ParseUnsigned(value, 10, "request count");
        } else if (key == "seconds") {
            rule.seconds = ParseDouble(value, "seconds");
        } else {
            throw SimError("unknown option \"" + key + "\"");
        }
    }
    if (rule.count && rule.probability)
        throw SimError("give count= or prob=, not both");
    if (rule.requests && rule.seconds)
        throw SimError("give requests= or seconds=, not both");

    std::string joined;
    for (const auto &w : words)
        joined += (joined.empty() ? "" : " ") + w;
    rule.text = joined;
    return rule;
}

int FaultSet::Add(FaultRule rule, Clock::time_point now) {
    faults_.push_back(Active{nextId_, std::move(rule), now});
    return nextId_++;
}

size_t FaultSet::Clear() {
    const size_t n = faults_.size();
    faults_.clear();
    return n;
}

size_t FaultSet::ClearId(int id) {
    return static_cast<size_t>(
        std::erase_if(faults_, [id](const Active &a) { return a.id == id; }));
}

size_t FaultSet::ClearPlc(std::string_view plc) {
    return static_cast<size_t>(
        std::erase_if(faults_, [plc](const Active &a) { return a.rule.plc == plc; }));
}

void FaultSet::DropExpired(Clock::time_point now) {
    std::erase_if(faults_, [now](const Active &a) {
        if (a.rule.seconds && now - a.setAt >= std::chrono::duration<double>(*a.rule.seconds)) {
            return true;
        }
        if (a.rule.requests && a.seen >= *a.rule.requests)
            return true;
        return a.rule.count && a.fired >= *a.rule.count;
    });
}

std::vector<std::pair<int, std::string>> FaultSet::List(Clock::time_point now) {
    DropExpired(now);
    std::vector<std::pair<int, std::string>> out;
    for (const auto &a : faults_)
        out.emplace_back(a.id, a.rule.text);
    return out;
}

Effects FaultSet::Apply(std::string_view plc, RequestPath path, Clock::time_point now,
                        std::mt19937 &rng) {
    DropExpired(now);
    Effects effects;
    for (auto &a : faults_) {
        const bool plcMatches = a.rule.plc == "*" || (!plc.empty() && a.rule.plc == plc);
        if (!plcMatches || !PathMatches(a.rule.path, path))
            continue;
        ++a.seen;
        bool fire = true;
        if (a.rule.probability) {
            fire = std::uniform_real_distribution<double>(0.0, 1.0)(rng) < *a.rule.probability;
        }
        if (!fire)
            continue;
        ++a.fired;
        effects.fired.push_back(a.rule.kind);
        switch (a.rule.kind) {
        case FaultKind::Silence:
            effects.silence = true;
            break;
        case FaultKind::Delay:
            effects.delayMs += a.rule.arg.value_or(2000);
            break;
        case FaultKind::Checksum:
            effects.checksum = true;
            break;
        case FaultKind::Truncate:
            effects.truncateAt = a.rule.arg.value_or(0);
            break;
        case FaultKind::Noise:
            effects.noise += a.rule.arg.value_or(5);
            break;
        case FaultKind::Stale:
            effects.stale = true;
            break;
        case FaultKind::NoReverse:
            effects.noReverse = true;
            break;
        case FaultKind::Error:
            effects.error = static_cast<uint8_t>(a.rule.arg.value_or(0x11));
            break;
        case FaultKind::Dead:
            effects.dead = true;
            break;
        case FaultKind::Nak:
            effects.nak = true;
            break;
        }
    }
    DropExpired(now);
    return effects;
}

} // namespace vpisd::sim
