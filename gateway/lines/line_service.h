// What a face needs of a line: the line's jobs, its state and what its PLCs have been doing.
// The line worker serves it over a real line; a face holds only this, so that its logic runs
// as well against a line made in a test.
#pragma once

#include <string>

#include "gateway/lines/line_request.h"
#include "gateway/lines/plc_health.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class LineService {
  public:
    virtual ~LineService() = default;
    // The line's name in the configuration.
    virtual const std::string &name() const = 0;
    // Queues a job; when the job's share of the queue is full, or the line is stopping, the job
    // is untouched and the caller answers it.
    virtual Queued Submit(LineRequest &request) = 0;
    // From any thread: the line's state, its queue and the route of each PLC it has served.
    virtual WorkerStatus Status() const = 0;
    // From any thread: what each PLC of the line has been doing.
    virtual const PlcHealth &health() const = 0;
};

} // namespace vpisd::gateway
