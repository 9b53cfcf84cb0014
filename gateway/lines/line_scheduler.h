// Decides what a line's worker does next, so that line transactions are spent only where they
// are needed. Each pick first answers, without traffic, the reads that a held refusal or values
// read recently enough can answer; then it takes one job in turn (the sources alternate, the
// Modbus connections take turns within theirs) and, when that job is a read, every other read of
// the same PLC waiting at that moment that one block read can serve with it.
// Pick, Remember, Hold, Forget and Served run on the worker's thread (Pick under the queue's
// lock); AnswerAtOnce runs on a front end's thread under the queue's lock. The stored values and
// holds, which both read, have a lock of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_request.h"
#include "gateway/lines/plc_health.h"

namespace vpisd::gateway {

constexpr uint16_t kLargestBlockRead = 128; // registers one driver read can return

enum class AnsweredBy : uint8_t { Line, MergedRead, StoredValues, RefusedHold, Demoted };

struct ReadyAnswer {
    LineRequest request;
    LineReply reply;
    AnsweredBy by = AnsweredBy::Line;
};

struct Batch {
    std::vector<ReadyAnswer> ready; // answered without line traffic
    // One job of any kind, or reads of one PLC (arrival order) that one block read of `count`
    // registers from `first` serves.
    std::vector<LineRequest> jobs;
    uint16_t first = 0;
    uint16_t count = 0;
    bool empty() const { return ready.empty() && jobs.empty(); }
};

// What the worker has taken and not answered yet.
struct OnTheLine {
    std::set<uint64_t> clients;    // Modbus connections
    std::set<std::string> writing; // PLCs being written
};

class LineScheduler {
  public:
    using Clock = std::chrono::steady_clock;

    // `health`, when given, outlives the scheduler: a demoted PLC's requests are answered at
    // once with NoAnswer, and the first job taken for it after its hold is its probe.
    explicit LineScheduler(const LineConfig &config, PlcHealth *health = nullptr);

    // Takes the next batch out of `waiting` (arrival order). While the clients answered by the
    // last shared read are still sending their next requests, the job for the line waits:
    // `lingerUntil` is set and only ready answers come back.
    Batch Pick(std::deque<LineRequest> &waiting, Clock::time_point now,
               std::optional<Clock::time_point> &lingerUntil);

    // On arrival: true, with the answer in `ready`, for a read that a held refusal or stored
    // values answer, or any job for a demoted PLC, that nothing waiting or on the line must
    // come before.
    bool AnswerAtOnce(const LineRequest &request, const std::deque<LineRequest> &waiting,
                      const OnTheLine &onTheLine, Clock::time_point now, ReadyAnswer &ready);

    // What the line said, told by the worker after each transaction.
    void Remember(const std::string &plc, uint16_t first, std::span<const uint16_t> values,
                  Clock::time_point readBegan);
    void Hold(const std::string &plc, uint16_t first, uint16_t count, Clock::time_point now);
    void Forget(const std::string &plc, uint16_t first, uint16_t count); // a write went out
    // A block read's requests were answered at `now`.
    void Served(const Batch &batch, Clock::time_point now);
    // A reload changed the units of the line: their ages and holds from now on.
    void SetPolicies(std::vector<PlcPolicy> policies);

  private:
    struct Stored {
        uint16_t value = 0;
        bool valid = false;
        Clock::time_point readBegan{};
    };
    using RangeKey = std::tuple<std::string, uint16_t, uint16_t>; // PLC, first, count

    const PlcPolicy &PolicyOf(const std::string &plc) const;
    // A demoted PLC: NoAnswer, without the line.
    bool ForDemoted(const LineRequest &request, Clock::time_point now, ReadyAnswer &ready) const;
    size_t AnswerBesideProbe(std::deque<LineRequest> &waiting, size_t probe, Clock::time_point now,
                             Batch &batch) const;
    // A demoted PLC, a held refusal or stored values: the answer, without the line.
    bool FromBook(const LineRequest &request, Clock::time_point now, ReadyAnswer &ready);
    bool Held(const LineRequest &request, Clock::time_point now);
    bool Fresh(const LineRequest &request, Clock::time_point now,
               std::vector<uint16_t> &values) const;
    size_t Lead(const std::deque<LineRequest> &waiting) const;
    bool Lingering(const std::deque<LineRequest> &waiting, const LineRequest &lead,
                   Clock::time_point now) const;
    void Merge(std::deque<LineRequest> &waiting, size_t lead, Batch &batch) const;

    const uint16_t mergeGap_;
    PlcHealth *const health_;
    std::vector<PlcPolicy> policies_; // under bookMutex_
    const PlcPolicy defaultPolicy_{};
    std::mutex bookMutex_;                              // guards stored_ and holds_
    std::map<std::string, std::vector<Stored>> stored_; // by PLC, indexed by register
    std::map<RangeKey, Clock::time_point> holds_;       // when the PLC refused the range
    size_t nextSource_ = 0;
    uint64_t lastClient_ = 0; // the Modbus connection served last; the next one after it
    // The Modbus clients answered together by the last shared read, expected back soon.
    std::string lingerPlc_;
    std::set<uint64_t> lingerClients_;
    Clock::time_point lingerUntil_{};
};

} // namespace vpisd::gateway
