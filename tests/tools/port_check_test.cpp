// The reasons the tool gives for a device that will not open, seen from the device's side.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "host/port_check.h"
#include "sim_network.h"

namespace vpisd::host {
namespace {

TEST(PortCheck, EachCauseIsNamed) {
    test::TempDir dir;
    const std::string file = dir.Write("not-a-device", "");
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/ttyNOSUCH", "no such device /dev/ttyNOSUCH: check the name"},
        {file, file + " is not a serial device"},
        {"/dev/null", "/dev/null is not a serial device"},
    };
    for (const auto &[path, reason] : cases)
        EXPECT_EQ(PortProblem(path).rfind(reason, 0), 0u) << PortProblem(path);
    EXPECT_TRUE(DeviceVanished("/dev/ttyNOSUCH"));
    EXPECT_FALSE(DeviceVanished("/dev/null"));
}

TEST(PortCheck, PermissionNamesTheGroupToJoin) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to look at a device as another user";
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(chmod(name, 0660), 0);
    // As an unprivileged user the device is closed to us; the answer comes back over a pipe.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        const std::string why = PortProblem(name);
        const ssize_t written = write(pipeFds[1], why.data(), why.size());
        _exit(written == static_cast<ssize_t>(why.size()) ? 0 : 3);
    }
    close(pipeFds[1]);
    std::array<char, 512> buffer{};
    const ssize_t n = read(pipeFds[0], buffer.data(), buffer.size());
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    close(slave);
    close(master);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string why(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(why.rfind(std::string("permission denied on ") + name + ": it belongs to the group "),
              0u)
        << why;
    EXPECT_NE(why.find("sudo usermod -aG "), std::string::npos) << why;
}

} // namespace
} // namespace vpisd::host
