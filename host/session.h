// One VPI driven through VpiMain the way a SCADA host drives it: describe, start, parse each
// tag, read and write, close.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/driver_library.h"
#include "host/line_options.h"
#include "host/line_status.h"
#include "host/tag_layout.h"

namespace vpisd::host {

class VpiSession {
  public:
    explicit VpiSession(const DriverLibrary &library) : library_(library) {}
    ~VpiSession() { Close(); }
    VpiSession(const VpiSession &) = delete;
    VpiSession &operator=(const VpiSession &) = delete;

    DriverInfo Describe() const;
    // Allocates the instance record (`contextSize` bytes) and starts the VPI on `portName`.
    // A timeout below the driver's 1 s floor is put in place by a close and a reopen. Returns
    // the driver's result: 0, or 2 when the port cannot be opened.
    int32_t Start(const std::string &portName, const LineOptions &line, int32_t contextSize);
    // Closes the port and opens it again with the same settings, as after a device came back.
    // 0, or 2 when it cannot be opened.
    int32_t Reopen(const std::string &portName, const LineOptions &line);
    // Starts the VPI without opening a port: only the routes of its init file are loaded, so
    // GASes can be checked against them.
    int32_t LoadRoutes(const LineOptions &line, int32_t contextSize);
    // Single parse for one value, block parse for more. 0 accepted, 1 rejected.
    int32_t Parse(const std::string &gas, int32_t count, TagLayout &layout) const;
    // Driver results: 0 done, 1 reply refused, 2 no answer. `tries`, when given, tells what the
    // tries met (StatusFromRead, StatusFromWrite).
    int32_t Read(const std::string &gas, const TagLayout &layout, std::span<uint16_t> values,
                 Tries *tries = nullptr) const;
    int32_t Write(const std::string &gas, const TagLayout &layout, std::span<uint16_t> values,
                  Tries *tries = nullptr) const;
    void Close();

  private:
    int32_t Call(int32_t command, void *data) const;
    int32_t Transfer(int32_t command, const std::string &gas, const TagLayout &layout,
                     std::span<uint16_t> values) const;
    // Transfer, its tries followed into `tries` when given.
    int32_t Followed(int32_t command, const std::string &gas, const TagLayout &layout,
                     std::span<uint16_t> values, Tries *tries) const;

    const DriverLibrary &library_;
    std::vector<uint64_t> context_; // the host owns the record; 8-byte words keep it aligned
    int32_t vpiNumber_ = 0;
    bool started_ = false;
};

// Line settings in the driver's units: timeout in 10 ms steps, rounded up.
int32_t TimeoutUnits(int32_t milliseconds);

} // namespace vpisd::host
