// What the configuration's check passed is what the lines load: an init file edited once the
// check has read it reaches neither the driver nor a line worker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/config_check.h"
#include "gateway/lines/line_worker.h"
#include "gateway/lines/plc_name_check.h"
#include "gateway_on_sim.h"
#include "host/file_text.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace vpisd::gateway::test {
namespace {

TEST(CheckedConfig, InitFileEditedAfterTheCheckNeverReachesTheLine) {
    host::DriverLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load({VPISD_LIBRARY_PATH}, error)) << error;
    const DriverInfo info = host::VpiSession(library).Describe();
    TempDir dir;
    const std::string checkedText = "P1=1+5\n";
    const std::string init = dir.Write("plant.int", checkedText);
    const std::string path =
        dir.Write("gateway.toml",
                  GatewayToml(LineToml("north", "ttyV01", 1, init) + UnitToml(1, "north", "P1")));
    std::vector<std::string> problems;
    const std::optional<CheckedConfig> checked = CheckConfigFile(path, library, info, problems);
    ASSERT_TRUE(checked);
    ASSERT_TRUE(problems.empty()) << problems.front();

    // Unit 1's PLC is gone from the file now: had it been read again, P1 would be unknown.
    dir.Write("plant.int", "Q1=1+7\n");

    // The process's directory as the start and a reload prepare it, seen by the driver.
    ASSERT_TRUE(host::RunInOwnDirectory(
        [&] {
            host::WorkDir workDir;
            ASSERT_TRUE(PrepareWorkDir(workDir, *checked, error)) << error;
            EXPECT_EQ(host::ReadWholeFile(workDir.path() + "/" + host::InitFileName(1)),
                      checkedText);
            std::vector<std::string> routes;
            CheckPlcNames(*checked->config, checked->initBytes, library, info, routes);
            EXPECT_TRUE(routes.empty()) << routes.front();
        },
        error))
        << error;

    const LineWorker worker(library, info, checked->config->lines[0], checked->initBytes[0]);
    const std::vector<PlcHealthSnapshot> plcs = worker.health().Snapshot(); // the worker's PLCs
    ASSERT_EQ(plcs.size(), 1u);
    EXPECT_EQ(plcs[0].plc, "P1");
}

} // namespace
} // namespace vpisd::gateway::test
