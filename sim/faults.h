// Faults injected into the replies of chosen PLCs and paths, each firing a number of times or with
// a probability, until it expires.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vpisd::sim {

using Clock = std::chrono::steady_clock;

enum class FaultKind {
    Silence,
    Delay,
    Checksum,
    Truncate,
    Noise,
    Stale,
    NoReverse,
    Error,
    Dead,
    Nak
};
// The path a request took: its PLC's normal or backup route, or no route at all.
enum class RequestPath { Normal, Backup, Direct, Unknown };
enum class PathFilter { Normal, Backup, Any };

const char *FaultKindName(FaultKind kind);
const char *RequestPathName(RequestPath path);

struct FaultRule {
    std::string plc; // "*" for every request
    PathFilter path = PathFilter::Any;
    FaultKind kind = FaultKind::Silence;
    std::optional<unsigned> arg;
    std::optional<unsigned> count;     // fire on the next N matching requests
    std::optional<double> probability; // fire on each matching request with this probability
    std::optional<unsigned> requests;  // expire after N matching requests
    std::optional<double> seconds;     // expire this long after being set
    std::string text;                  // as given, for listings
};

// "P1 normal silence count=3", the words after "fault"; throws SimError.
FaultRule ParseFault(std::string_view text);

// What the faults that fired do to one request.
struct Effects {
    bool silence = false;
    bool nak = false;
    bool dead = false;
    bool checksum = false;
    bool stale = false;
    bool noReverse = false;
    std::optional<uint8_t> error;
    unsigned delayMs = 0;
    std::optional<size_t> truncateAt; // 0: up to the reply's DLE ETX
    unsigned noise = 0;
    std::vector<FaultKind> fired;
};

class FaultSet {
  public:
    int Add(FaultRule rule, Clock::time_point now);
    size_t Clear();
    size_t ClearId(int id);
    size_t ClearPlc(std::string_view plc);
    // Active faults with their ids, expired ones dropped first.
    std::vector<std::pair<int, std::string>> List(Clock::time_point now);

    // Applies every active fault that matches the request; `plc` is empty when the route reached
    // none.
    Effects Apply(std::string_view plc, RequestPath path, Clock::time_point now, std::mt19937 &rng);

  private:
    struct Active {
        int id;
        FaultRule rule;
        Clock::time_point setAt;
        unsigned seen = 0;
        unsigned fired = 0;
    };
    void DropExpired(Clock::time_point now);

    std::vector<Active> faults_;
    int nextId_ = 1;
};

} // namespace vpisd::sim
