// One face of the gateway: Modbus TCP, MQTT, Sparkplug B, the HTTP status endpoint. The process
// owner alone starts and stops the line workers and the lines' pollers; it drives every front
// end through these calls, in the same way for each, as the reload plan says (FrontEndChange):
//   at start, and Start     a new front end's Start(lines)
//   Apply                   Prepare(plan, next) before the owner changes the workers, then
//                           Apply(lines) once the new ones are there
//   Restart                 Stop() before the workers change, then a new one's Start(lines)
//   Stop                    Stop() before the workers change
// A front end a reload stopped is destroyed before a new one starts, its sockets and
// descriptors with it: the answers to its jobs still in a line's queue go into a queue it shares
// with each job, which outlives it. At the end the owner tells every worker to stop, stops the
// faces that answer on their clients' connections (Modbus, which sends what the workers still
// answer, and HTTP), waits for the workers, then stops the pollers and the publishing faces,
// MQTT and Sparkplug, which publish what the workers answered before their broker connections
// go: a write a worker finishes during that wait still has its result published.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/poll/line_poller.h"
#include "gateway/reload_plan.h"

namespace vpisd::gateway {

// What a front end serves: a configuration, the worker of each of its lines, and the one poller
// of each line's groups that every publishing face listens to.
struct ServedLines {
    std::shared_ptr<const Config> config;
    std::vector<LineWorker *> workers; // workers[i] serves config->lines[i]
    std::vector<LinePoller *> pollers; // pollers[i] reads its groups and carries the faces' writes;
                                       // null only without a publishing face
};

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    // Opens its socket or broker connections and serves `lines`; false with the reason.
    virtual bool Start(const ServedLines &lines, std::string &error) = 0;
    // A reload that keeps this front end, before the owner stops the workers `plan` stops or
    // replaces: `next` is the configuration about to be served (its write rights hold from now).
    virtual void Prepare(const ReloadPlan &plan, const std::shared_ptr<const Config> &next) = 0;
    // The same reload, the new workers there: serves `lines` from now on.
    virtual void Apply(const ServedLines &lines) = 0;
    // Takes no more requests; returns once its own threads have ended. At the end the workers
    // were told to stop (Modbus, HTTP) or have finished (MQTT, Sparkplug): what they answered
    // goes out first.
    virtual void Stop() = 0;
};

} // namespace vpisd::gateway
