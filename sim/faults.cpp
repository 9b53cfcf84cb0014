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

FaultSpec ParseFault(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() < 3) {
        throw SimError("fault needs: <plc|*> <normal|backup|any> <kind> [arg] [options]");
    }
    FaultSpec spec;
    spec.plc = words[0];
    if (words[1] == "normal") {
        spec.path = PathFilter::Normal;
    } else if (words[1] == "backup") {
        spec.path = PathFilter::Backup;
    } else if (words[1] == "any") {
        spec.path = PathFilter::Any;
    } else {
        throw SimError("bad path \"" + words[1] + "\" (normal, backup or any)");
    }
    const auto kind = std::find_if(kKindNames.begin(), kKindNames.end(),
                                   [&](const KindName &k) { return words[2] == k.name; });
    if (kind == kKindNames.end())
        throw SimError("unknown fault kind \"" + words[2] + "\"");
    spec.kind = kind->kind;

    for (size_t i = 3; i < words.size(); ++i) {
        const std::string &word = words[i];
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            if (i != 3 || spec.kind == FaultKind::Silence || spec.kind == FaultKind::Checksum ||
                spec.kind == FaultKind::Stale || spec.kind == FaultKind::NoReverse ||
                spec.kind == FaultKind::Dead || spec.kind == FaultKind::Nak) {
                throw SimError("unexpected \"" + word + "\"");
            }
            const bool hex = spec.kind == FaultKind::Error;
            spec.arg = ParseUnsigned(word, hex ? 16 : 10, "argument");
            if (hex && *spec.arg > 0xFF)
                throw SimError("error code above FF");
            continue;
        }
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (key == "count") {
            spec.count = ParseUnsigned(value, 10, "count");
        } else if (key == "prob") {
            spec.probability = ParseDouble(value, "probability");
            if (*spec.probability > 1)
                throw SimError("probability above 1");
        } else if (key == "requests") {
            spec.requests = ParseUnsigned(value, 10, "request count");
        } else if (key == "seconds") {
            spec.seconds = ParseDouble(value, "seconds");
        } else {
            throw SimError("unknown option \"" + key + "\"");
        }
    }
    if (spec.count && spec.probability)
        throw SimError("give count= or prob=, not both");
    if (spec.requests && spec.seconds)
        throw SimError("give requests= or seconds=, not both");

    std::string joined;
    for (const auto &w : words)
        joined += (joined.empty() ? "" : " ") + w;
    spec.text = joined;
    return spec;
}

int FaultSet::Add(FaultSpec spec, Clock::time_point now) {
    faults_.push_back(Active{nextId_, std::move(spec), now});
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
        std::erase_if(faults_, [plc](const Active &a) { return a.spec.plc == plc; }));
}

void FaultSet::DropExpired(Clock::time_point now) {
    std::erase_if(faults_, [now](const Active &a) {
        if (a.spec.seconds && now - a.setAt >= std::chrono::duration<double>(*a.spec.seconds)) {
            return true;
        }
        if (a.spec.requests && a.seen >= *a.spec.requests)
            return true;
        return a.spec.count && a.fired >= *a.spec.count;
    });
}

std::vector<std::pair<int, std::string>> FaultSet::List(Clock::time_point now) {
    DropExpired(now);
    std::vector<std::pair<int, std::string>> out;
    for (const auto &a : faults_)
        out.emplace_back(a.id, a.spec.text);
    return out;
}

Effects FaultSet::Apply(std::string_view plc, RequestPath path, Clock::time_point now,
                        std::mt19937 &rng) {
    DropExpired(now);
    Effects effects;
    for (auto &a : faults_) {
        const bool plcMatches = a.spec.plc == "*" || (!plc.empty() && a.spec.plc == plc);
        if (!plcMatches || !PathMatches(a.spec.path, path))
            continue;
        ++a.seen;
        bool fire = true;
        if (a.spec.probability) {
            fire = std::uniform_real_distribution<double>(0.0, 1.0)(rng) < *a.spec.probability;
        }
        if (!fire)
            continue;
        ++a.fired;
        effects.fired.push_back(a.spec.kind);
        switch (a.spec.kind) {
        case FaultKind::Silence:
            effects.silence = true;
            break;
        case FaultKind::Delay:
            effects.delayMs += a.spec.arg.value_or(2000);
            break;
        case FaultKind::Checksum:
            effects.checksum = true;
            break;
        case FaultKind::Truncate:
            effects.truncateAt = a.spec.arg.value_or(0);
            break;
        case FaultKind::Noise:
            effects.noise += a.spec.arg.value_or(5);
            break;
        case FaultKind::Stale:
            effects.stale = true;
            break;
        case FaultKind::NoReverse:
            effects.noReverse = true;
            break;
        case FaultKind::Error:
            effects.error = static_cast<uint8_t>(a.spec.arg.value_or(0x11));
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
