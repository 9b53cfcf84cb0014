#include "gateway/lines/line_scheduler.h"

#include <algorithm>

namespace vpisd::gateway {
namespace {

using std::chrono::milliseconds;

// Clients answered together send their next requests within a millisecond or two on a LAN; a
// block read costs 150 ms or more, so waiting this long for them is cheap when they come.
constexpr milliseconds kLinger{10};
constexpr size_t kRegisterSlots = 10000; // SY/MAX registers 1..9999, indexed as they are

unsigned EndOf(const LineRequest &request) {
    return unsigned{request.first} + request.count; // one past the last register read
}

bool IsWrite(const LineRequest &request) {
    return request.op == LineOp::WriteRegisters || request.op == LineOp::WriteBits;
}

bool Writes(const LineRequest &write, const std::string &plc, unsigned first, unsigned end) {
    if (write.plc != plc)
        return false;
    // A coil write may carry whole registers as a block besides its masked bits.
    if (!write.values.empty() && write.first < end && first < write.first + write.values.size())
        return true;
    if (write.op == LineOp::WriteBits)
        return std::any_of(write.bits.begin(), write.bits.end(),
                           [&](const BitWrite &bit) { return bit.reg >= first && bit.reg < end; });
    return false;
}

// True when a write to one of the read's registers waits ahead of it: the read must not be
// answered before that write went out.
bool WriteAhead(const std::deque<LineRequest> &waiting, size_t index) {
    const LineRequest &read = waiting[index];
    for (size_t i = 0; i < index; ++i) {
        if (IsWrite(waiting[i]) && Writes(waiting[i], read.plc, read.first, EndOf(read)))
            return true;
    }
    return false;
}

// Moves into batch.ready, in arrival order, each waiting request that `answers` answers without
// the line (given its index in `waiting` as it stands then). A Modbus connection's requests are
// answered in order: once one of its requests stays behind, the later ones stay too. `kept`,
// when given, is the index of a request that stays, kept pointing at it as others are taken.
template <typename Answers>
void TakeReady(std::deque<LineRequest> &waiting, Batch &batch, Answers answers,
               size_t *kept = nullptr) {
    std::set<uint64_t> behind;
    for (size_t i = 0; i < waiting.size();) {
        LineRequest &request = waiting[i];
        const bool inOrder = request.source != Source::Modbus || behind.count(request.client) == 0;
        ReadyAnswer ready;
        if (inOrder && answers(i, request, ready)) {
            ready.request = std::move(request);
            batch.ready.push_back(std::move(ready));
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
            if (kept != nullptr && i < *kept)
                --*kept;
            continue;
        }
        if (request.source == Source::Modbus)
            behind.insert(request.client);
        ++i;
    }
}

} // namespace

LineScheduler::LineScheduler(const LineConfig &config, PlcHealth *health)
    : mergeGap_(config.mergeGap), health_(health), policies_(config.plcs) {}

const PlcPolicy &LineScheduler::PolicyOf(const std::string &plc) const {
    const auto found = std::find_if(policies_.begin(), policies_.end(),
                                    [&](const PlcPolicy &p) { return p.plc == plc; });
    return found == policies_.end() ? defaultPolicy_ : *found;
}

bool LineScheduler::Held(const LineRequest &request, Clock::time_point now) {
    const auto found = holds_.find({request.plc, request.first, request.count});
    if (found == holds_.end())
        return false;
    if (now - found->second < milliseconds(PolicyOf(request.plc).refusedHoldMs))
        return true;
    holds_.erase(found); // the next read goes to the line again
    return false;
}

bool LineScheduler::Fresh(const LineRequest &request, Clock::time_point now,
                          std::vector<uint16_t> &values) const {
    const milliseconds maxAge(PolicyOf(request.plc).maxAgeMs);
    const auto found = stored_.find(request.plc);
    if (maxAge.count() == 0 || found == stored_.end())
        return false;
    values.clear();
    for (unsigned reg = request.first; reg < EndOf(request); ++reg) {
        const Stored &slot = found->second[reg];
        if (!slot.valid || now - slot.readBegan > maxAge)
            return false;
        values.push_back(slot.value);
    }
    return true;
}

// A demoted PLC costs its line nothing; a write for it is answered, never kept for later.
bool LineScheduler::ForDemoted(const LineRequest &request, Clock::time_point now,
                               ReadyAnswer &ready) const {
    if (request.op == LineOp::ReadRoute || health_ == nullptr ||
        !health_->Demoted(request.plc, now))
        return false;
    ready.reply.status = LineStatus::NoAnswer;
    ready.reply.demoted = true;
    ready.by = AnsweredBy::Demoted;
    return true;
}

bool LineScheduler::FromBook(const LineRequest &request, Clock::time_point now,
                             ReadyAnswer &ready) {
    if (ForDemoted(request, now, ready))
        return true;
    if (request.op != LineOp::ReadRegisters)
        return false;
    std::lock_guard lock(bookMutex_);
    if (Held(request, now)) {
        ready.reply.status = LineStatus::Refused;
        ready.by = AnsweredBy::RefusedHold;
        return true;
    }
    if (Fresh(request, now, ready.reply.values)) {
        ready.by = AnsweredBy::StoredValues;
        return true;
    }
    return false;
}

bool LineScheduler::AnswerAtOnce(const LineRequest &request, const std::deque<LineRequest> &waiting,
                                 const OnTheLine &onTheLine, Clock::time_point now,
                                 ReadyAnswer &ready) {
    if (request.op == LineOp::ReadRoute)
        return false;
    if (request.source == Source::Modbus && onTheLine.clients.count(request.client) != 0)
        return false;
    const auto sameClient = [&](const LineRequest &other) {
        return request.source == Source::Modbus && other.source == Source::Modbus &&
               other.client == request.client;
    };
    if (std::any_of(waiting.begin(), waiting.end(), sameClient))
        return false;
    // Nothing a demoted PLC's answer carries depends on a write ahead of it, not even on its
    // probe being a write.
    if (ForDemoted(request, now, ready))
        return true;
    if (onTheLine.writing.count(request.plc) != 0)
        return false;
    for (const LineRequest &other : waiting) {
        if (IsWrite(other) && Writes(other, request.plc, request.first, EndOf(request)))
            return false;
    }
    return FromBook(request, now, ready);
}

Batch LineScheduler::Pick(std::deque<LineRequest> &waiting, Clock::time_point now,
                          std::optional<Clock::time_point> &lingerUntil) {
    Batch batch;
    lingerUntil.reset();
    TakeReady(waiting, batch, [&](size_t i, const LineRequest &request, ReadyAnswer &ready) {
        return !WriteAhead(waiting, i) && FromBook(request, now, ready);
    });
    if (waiting.empty())
        return batch;
    size_t lead = Lead(waiting);
    if (Lingering(waiting, waiting[lead], now)) {
        lingerUntil = lingerUntil_;
        return batch;
    }
    nextSource_ = (static_cast<size_t>(waiting[lead].source) + 1) % kSourceCount;
    if (waiting[lead].source == Source::Modbus)
        lastClient_ = waiting[lead].client;
    if (health_ != nullptr && waiting[lead].op != LineOp::ReadRoute &&
        health_->Picked(waiting[lead].plc, now))
        lead = AnswerBesideProbe(waiting, lead, now, batch);
    if (waiting[lead].op != LineOp::ReadRegisters) {
        batch.jobs.push_back(std::move(waiting[lead]));
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(lead));
        return batch;
    }
    Merge(waiting, lead, batch);
    return batch;
}

// A demoted PLC's probe goes to the line alone: the other requests for that PLC waiting now are
// answered at once, as those that come while it is on the line are. Returns the probe's index in
// `waiting` after them.
size_t LineScheduler::AnswerBesideProbe(std::deque<LineRequest> &waiting, size_t probe,
                                        Clock::time_point now, Batch &batch) const {
    const std::string plc = waiting[probe].plc;
    TakeReady(
        waiting, batch,
        [&](size_t i, const LineRequest &request, ReadyAnswer &ready) {
            return i != probe && request.plc == plc && ForDemoted(request, now, ready);
        },
        &probe);
    return probe;
}

// The first request of the source whose turn it is; within Modbus, of the connection after the
// one served last.
size_t LineScheduler::Lead(const std::deque<LineRequest> &waiting) const {
    for (size_t turn = 0; turn < kSourceCount; ++turn) {
        const auto source = static_cast<Source>((nextSource_ + turn) % kSourceCount);
        std::optional<size_t> oldest;
        std::optional<size_t> after; // the oldest request of the next connection in turn
        for (size_t i = 0; i < waiting.size(); ++i) {
            const LineRequest &request = waiting[i];
            if (request.source != source)
                continue;
            if (!oldest || (source == Source::Modbus && request.client < waiting[*oldest].client))
                oldest = i;
            if (source == Source::Modbus && request.client > lastClient_ &&
                (!after || request.client < waiting[*after].client))
                after = i;
        }
        if (after)
            return *after;
        if (oldest)
            return *oldest;
    }
    return 0;
}

bool LineScheduler::Lingering(const std::deque<LineRequest> &waiting, const LineRequest &lead,
                              Clock::time_point now) const {
    if (lingerClients_.empty() || now >= lingerUntil_ || lead.op != LineOp::ReadRegisters ||
        lead.plc != lingerPlc_)
        return false;
    return std::any_of(lingerClients_.begin(), lingerClients_.end(), [&](uint64_t client) {
        return std::none_of(waiting.begin(), waiting.end(), [&](const LineRequest &r) {
            return r.source == Source::Modbus && r.client == client;
        });
    });
}

// Grows the lead's range into one block read with every read of its PLC that fits: at most
// kLargestBlockRead registers, at most mergeGap_ unrequested registers between ranges. Passes
// repeat, since a range taken in one may bring another within reach.
void LineScheduler::Merge(std::deque<LineRequest> &waiting, size_t lead, Batch &batch) const {
    const LineRequest &leader = waiting[lead];
    unsigned first = leader.first;
    unsigned end = EndOf(leader);
    std::vector<bool> taken(waiting.size(), false);
    taken[lead] = true;
    for (bool grew = true; grew;) {
        grew = false;
        std::set<uint64_t> behind;
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (taken[i])
                continue;
            const LineRequest &request = waiting[i];
            const unsigned newFirst = std::min<unsigned>(first, request.first);
            const unsigned newEnd = std::max(end, EndOf(request));
            const unsigned gap = request.first > end      ? request.first - end
                                 : first > EndOf(request) ? first - EndOf(request)
                                                          : 0;
            const bool fits = request.op == LineOp::ReadRegisters && request.plc == leader.plc &&
                              newEnd - newFirst <= kLargestBlockRead && gap <= mergeGap_;
            const bool inOrder =
                request.source != Source::Modbus || behind.count(request.client) == 0;
            if (fits && inOrder && !WriteAhead(waiting, i)) {
                taken[i] = true;
                first = newFirst;
                end = newEnd;
                grew = true;
            } else if (request.source == Source::Modbus) {
                behind.insert(request.client);
            }
        }
    }
    batch.first = static_cast<uint16_t>(first);
    batch.count = static_cast<uint16_t>(end - first);
    std::deque<LineRequest> left;
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (taken[i])
            batch.jobs.push_back(std::move(waiting[i]));
        else
            left.push_back(std::move(waiting[i]));
    }
    waiting.swap(left);
}

void LineScheduler::SetPolicies(std::vector<PlcPolicy> policies) {
    std::lock_guard lock(bookMutex_);
    policies_ = std::move(policies);
    stored_.clear(); // kept under the old ages and holds
    holds_.clear();
}

void LineScheduler::Remember(const std::string &plc, uint16_t first,
                             std::span<const uint16_t> values, Clock::time_point readBegan) {
    std::lock_guard lock(bookMutex_);
    if (PolicyOf(plc).maxAgeMs == 0)
        return;
    auto &slots = stored_[plc];
    slots.resize(kRegisterSlots);
    for (size_t i = 0; i < values.size() && first + i < kRegisterSlots; ++i)
        slots[first + i] = Stored{values[i], true, readBegan};
}

void LineScheduler::Hold(const std::string &plc, uint16_t first, uint16_t count,
                         Clock::time_point now) {
    std::lock_guard lock(bookMutex_);
    if (PolicyOf(plc).refusedHoldMs > 0)
        holds_[{plc, first, count}] = now;
}

void LineScheduler::Forget(const std::string &plc, uint16_t first, uint16_t count) {
    std::lock_guard lock(bookMutex_);
    const auto found = stored_.find(plc);
    if (found == stored_.end())
        return;
    for (unsigned reg = first; reg < unsigned{first} + count && reg < kRegisterSlots; ++reg)
        found->second[reg].valid = false;
}

void LineScheduler::Served(const Batch &batch, Clock::time_point now) {
    lingerClients_.clear();
    for (const LineRequest &job : batch.jobs) {
        if (job.op == LineOp::ReadRegisters && job.source == Source::Modbus)
            lingerClients_.insert(job.client);
    }
    if (lingerClients_.size() < 2) { // a client alone never waits for itself
        lingerClients_.clear();
        return;
    }
    lingerPlc_ = batch.jobs.front().plc;
    lingerUntil_ = now + kLinger;
}

} // namespace vpisd::gateway
