// The poll groups of one line, read by the line in turn with every other request: each group when
// it is due, its values kept raw with the quality of their latest read, each polled PLC's route
// selection read after each of its rounds, and every change of a PLC's health noticed. One
// poller per line, owned by the process owner, feeds every face that publishes the values (MQTT,
// Sparkplug B): a group is read once per interval however many listen. The faces' writes go
// through it too (SubmitWrite), so that a good one is read back at once. Listeners come and go as
// the faces start and stop; they are called on the poller's own thread, one at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_service.h"
#include "gateway/poll/poll_clock.h"
#include "gateway/poll/quality.h"

namespace vpisd::gateway {

struct PolledValue {
    std::optional<int64_t> raw;     // the latest good raw value (a float32's bits)
    std::optional<Quality> quality; // of the latest read; none before the first
    // The value in its group's units, when the latest read gave one.
    std::optional<double> number;
};

struct PolledGroup {
    size_t index = 0;                 // among its line's groups, in the order of the file
    const PollConfig *poll = nullptr; // in the configuration the poller was made from
    std::vector<PolledValue> values;
    std::optional<Quality> quality;             // of the latest read; none before the first
    std::chrono::system_clock::time_point at{}; // of the latest read
    // This round did not reach the PLC (the line's queue was full, or the line busy): the
    // values are those of the read before.
    bool busy = false;
    // The latest round told again to a listener that has just come: it may have seen it.
    bool retold = false;
};

// The route selection of a polled PLC, read ("!ROUTE", no traffic) after each of its rounds.
struct PolledRoute {
    std::string plc;
    uint16_t selection = 0; // 0 the normal route, anything else the backup
    std::chrono::system_clock::time_point at{};
};

class LinePoller {
  public:
    struct Listener {
        // A round of a group settled, read or busy.
        std::function<void(const PolledGroup &)> read;
        // The health of a PLC of the line, or the line's own state, may have changed.
        std::function<void()> health;
        // A PLC's route was read (after each round of its groups; "00", peer to peer, has none).
        std::function<void(const PolledRoute &)> route = nullptr;
    };
    using ListenerId = uint64_t;

    // The groups of `config->lines[line]`, read through `service`, due by `clock`.
    LinePoller(std::shared_ptr<const Config> config, size_t line, LineService &service,
               const PollClock &clock = SteadyPollClock());
    ~LinePoller();
    LinePoller(const LinePoller &) = delete;
    LinePoller &operator=(const LinePoller &) = delete;

    // From any thread, before or after Start. The new listener is first told the latest read
    // of every group read so far, the routes read so far and the PLCs' health, then every round
    // and change.
    ListenerId Listen(Listener listener);
    // Returns once the listener is called no more; never from a listener. Also after Stop.
    void Unlisten(ListenerId id);
    // Once; again does nothing.
    void Start();
    // Polls no more; the jobs still on the line are left to it, their answers unread.
    void Stop();

    // A job beside the polls (a write: SubmitWrite in write_command.h); `done` is called once,
    // on the poller's thread, or on the line's or the stopping thread when it comes once the
    // poller has stopped. A good write's PLC has its groups read again at once. Closed when the
    // poller stopped (a reload replaces it).
    Queued Submit(LineRequest request, std::function<void(const LineReply &)> done);
    // The groups of `plc` are read again now (after a write, to show the new value).
    void ReadSoon(const std::string &plc);

    // The PLCs the line's groups read, in the order the file names them.
    const std::vector<std::string> &plcs() const { return plcs_; }
    // True while `plc` answers, as its line last saw it.
    bool Answering(const std::string &plc) const;

  private:
    using TimePoint = PollClock::TimePoint;

    struct Group {
        PolledGroup polled;
        TimePoint due{};
        bool inFlight = false;
    };
    struct Route {
        PolledRoute polled;
        bool known = false; // read at least once
        bool inFlight = false;
    };
    struct Done {
        enum class Kind : uint8_t { Poll, Route, Job } kind = Kind::Job;
        size_t index = 0;                            // Poll: in groups_; Route: in routes_
        std::function<void(const LineReply &)> then; // Job
        std::string readBack; // Job: a write's PLC, whose groups are read again when it is good
        LineReply reply;
        std::chrono::system_clock::time_point at{};
    };
    struct Listening {
        ListenerId id = 0;
        Listener listener;
        bool told = false; // has had the latest reads and the health
    };

    void Run();
    void Finish(Done &done);
    void Schedule(TimePoint now);
    Queued SubmitJob(LineRequest &request, Done done);
    void PollDone(Group &group, const LineReply &reply, std::chrono::system_clock::time_point at);
    // After a round of `plc` that reached it: its route is read, unless a read of it is on the
    // line.
    void ReadRoute(const std::string &plc);
    void RouteDone(Route &route, const LineReply &reply, std::chrono::system_clock::time_point at);
    // Tells the listeners one round of `group`.
    void Tell(const PolledGroup &group);
    // Tells the listeners a round of `group` that did not reach the PLC.
    void TellBusy(Group &group);
    // Brings every new listener up to date.
    void Introduce();
    void WatchHealth();

    const std::shared_ptr<const Config> config_; // groups_ point into it
    LineService &line_;
    const PollClock &clock_;
    std::vector<Group> groups_;
    std::vector<Route> routes_; // of the polled PLCs but "00"
    std::vector<std::string> plcs_;
    uint64_t healthSeen_ = 0;
    bool lineDownSeen_ = false;

    // Held while the listeners are called, and while one comes or goes.
    std::mutex listenersMutex_;
    std::vector<Listening> listeners_;
    ListenerId nextId_ = 1;

    struct Inbox {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Done> done;
        std::vector<std::string> readSoon;
        bool introduce = false; // a listener came
        bool stop = false;
    };
    const std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::thread thread_;
};

} // namespace vpisd::gateway
