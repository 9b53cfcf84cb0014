// The simulated SY/MAX network of a test: the simulator serving one pseudo-terminal in this
// process, and the init file that names its PLCs' routes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "support/temp_dir.h"

namespace vpisd::test {

struct SimLine {
    std::unique_ptr<vpisd::sim::Simulator> sim; // reset() stops it: the port vanishes
    std::string port;                           // the pty's slave, e.g. /dev/pts/4
    std::string init; // path of the init file; empty for a peer-to-peer network
};

// Starts the simulator of `networkText` (the simulator's network format) and writes the
// init file of its routes as `dir`/`initName`.
SimLine StartSimLine(const std::string &networkText, const TempDir &dir,
                     const std::string &initName = "plant.int");
// The same without an init file, for callers that give the driver the routes themselves.
SimLine StartSimLine(const std::string &networkText);

// The processes other than `own` that hold the line's port open, one "pid: command line" each,
// "" when none. A pty number is reused as soon as it is free: a program that some other run
// left behind on an old /dev/pts/N opens a new simulator's port when it gets that number, and
// its frames then reach this simulator.
std::string OtherProcessesOnPort(const SimLine &line, const std::vector<pid_t> &own);

} // namespace vpisd::test
