// vpisd-gateway as a real process against simulated SY/MAX networks served in-process on ptys,
// with libmodbus clients.
#pragma once

#include <modbus/modbus.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/sim_line.h"
#include "support/temp_dir.h"

namespace vpisd::gateway::test {

using vpisd::test::ChildOptions;
using vpisd::test::ChildProcess;
using vpisd::test::ChildResult;
using vpisd::test::OtherProcessesOnPort;
using vpisd::test::RunChild;
using vpisd::test::SimLine;
using vpisd::test::StartSimLine;
using vpisd::test::TempDir;

// P1 over drops 1+5, P2 over 1+7.
constexpr const char *kTwoPlcs = "[plc P1]\nroute = 1+5\n[plc P2]\nroute = 1+7\n";
constexpr int kLineTimeoutMs = 100; // ten silent tries stay within a few seconds
constexpr int kClientTimeoutMs = 20000;

// The TOML of one [[line]] (timeout kLineTimeoutMs unless `extra` sets it) and one [[unit]].
std::string LineToml(const std::string &name, const std::string &port, int vpi,
                     const std::string &init, const std::string &extra = "");
std::string UnitToml(int id, const std::string &line, const std::string &plc,
                     const std::string &extra = "");

// gateway.toml's text: [gateway] on 127.0.0.1, any free port, plus `serverKeys`, then `body`.
std::string GatewayToml(const std::string &body, const std::string &serverKeys = "");

// The simulated network of kTwoPlcs on one line "north" (VPI 1), P1's register 5 holding 55,
// and `body` with that line (plus `lineExtra`) and unit 1 for P1.
struct OneLine {
    explicit OneLine(const std::string &lineExtra = "") {
        line.sim->SetRegister("P1", 5, 55);
        body = LineToml("north", line.port, 1, line.init, lineExtra) + UnitToml(1, "north", "P1");
    }
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    std::string body;
};

class Gateway {
  public:
    // Writes "gateway.toml" into `dir` (GatewayToml), starts the gateway and waits until it
    // listens.
    Gateway(const TempDir &dir, const std::string &body, const std::string &serverKeys = "",
            const ChildOptions &options = {});
    // Stopped as a service manager would, so that it removes its working directory.
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    uint16_t port() const { return port_; }
    // The HTTP status endpoint's port, when the configuration has [http] on port 0.
    uint16_t httpPort() const { return httpPort_; }
    ChildProcess &process() { return *process_; }
    // SIGTERM, then the exit status and everything it logged.
    ChildResult Stop();

  private:
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
    uint16_t httpPort_ = 0;
    bool stopped_ = false;
};

struct ModbusFree {
    void operator()(modbus_t *ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Client = std::unique_ptr<modbus_t, ModbusFree>;
// Connected to the gateway, addressing `unit`; nullptr when the connection fails.
Client Connect(uint16_t port, int unit, int timeoutMs = kClientTimeoutMs);
// One register read from `unit` over a connection of its own, expected to succeed or fail.
void ReadOnce(uint16_t port, int unit, bool expectOk);
// The Modbus exception of the last failed call, from errno; 0 for anything else.
int LastException();

// What /proc tells of a process (the gateway): user plus system CPU time in seconds, its open
// descriptors, its resident memory in kB (-1 when it is gone).
double CpuSeconds(pid_t pid);
int OpenDescriptors(pid_t pid);
long RssKb(pid_t pid);

// How often `part` occurs in `text` (a log).
size_t Occurrences(const std::string &text, const std::string &part);

// Sends `pdu` (function code first) to `unit` and returns the exception code of the answer,
// 0 for a normal answer, -1 when none came.
int RawException(modbus_t *client, const std::vector<uint8_t> &pdu);

// A plain TCP connection to the gateway, for bytes no Modbus client would send.
class RawConnection {
  public:
    explicit RawConnection(uint16_t port);
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Send(const std::vector<uint8_t> &bytes) const;
    // Up to `count` bytes, whatever came within `timeoutMs`.
    std::vector<uint8_t> Receive(size_t count, int timeoutMs) const;
    // True when the gateway closes the connection within `timeoutMs` (nothing else comes).
    bool ClosedByPeer(int timeoutMs) const;

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// The [http] table of a status endpoint on any free loopback port, `allow` as given.
std::string HttpToml(const std::string &allow = "");

struct HttpAnswer {
    int status = 0; // 0: no answer at all
    std::string headers;
    std::string body;
};
// `request` sent over a connection of its own while the answer is read to its end (or until the
// gateway resets the connection, or `timeoutMs`).
HttpAnswer HttpExchange(uint16_t port, const std::string &request, int timeoutMs = 10000);
// One request over its own connection ("Connection: close"), the answer read to its end.
HttpAnswer HttpRequest(uint16_t port, const std::string &method, const std::string &path,
                       int timeoutMs = 10000);
// The body of a GET of `path`, expected to be answered 200.
std::string HttpGet(uint16_t port, const std::string &path);

// The value of the sample `series` (name and labels as written) in Prometheus text `metrics`,
// nullopt when it is absent.
std::optional<double> MetricSample(const std::string &metrics, const std::string &series);

// The status page as headless Chromium renders it once its script has run (its profile kept in
// `dir`); on failure "chromium failed" with its exit status and what it said, which matches no
// expected content.
std::string RenderedPage(const TempDir &dir, uint16_t port);
// The text of each cell of the first table row from `from` on in `dom` (e.g.
// `<div id="sparkplug"`), tags stripped; empty when `from` is not there.
std::vector<std::string> CellsFrom(const std::string &dom, const std::string &from);
// The same for the table row `id`.
std::vector<std::string> RowCells(const std::string &dom, const std::string &id);

// promtool's verdict on `metrics` (written into `dir`): empty when it accepts them, else what
// it said.
std::string PromtoolProblems(const TempDir &dir, const std::string &metrics);

// Another process holding `device` open and locked, as a program that took the port would,
// under a process name of its choosing (any bytes, at most 15). Killed when destroyed.
class PortHolder {
  public:
    PortHolder(const std::string &device, const std::string &name);
    ~PortHolder() { Release(); }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;
    bool holding() const { return holding_; }
    pid_t pid() const { return pid_; }
    void Release(); // the port is free again

  private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

// A device name the driver takes (at most 11 characters, under /tmp) that the test can point
// anywhere, as udev points a link at a USB adapter. Removed when destroyed.
class DeviceLink {
  public:
    explicit DeviceLink(const std::string &target);
    ~DeviceLink();
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;
    void Remove() const; // unplugged: the name is gone
    // At once, as udev re-points a link: the name never goes missing.
    void PointAt(const std::string &target) const;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A pseudo-terminal whose far end nobody reads or writes: a line on which nothing answers (an
// adapter with no network behind it). At timeout_ms = 1000 one read spends about 23 s in its
// link enquiries.
class SilentPty {
  public:
    SilentPty();
    ~SilentPty();
    SilentPty(const SilentPty &) = delete;
    SilentPty &operator=(const SilentPty &) = delete;
    const std::string &path() const { return path_; } // empty when no pty could be made

  private:
    int master_ = -1;
    std::string path_;
};

// The messages the gateway sends to a NOTIFY_SOCKET of the test's own.
class NotifySocket {
  public:
    explicit NotifySocket(const TempDir &dir);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    const std::string &path() const { return path_; }
    // Every message until one holds `what`; "" when none did within `timeoutMs`.
    std::string WaitFor(const std::string &what, int timeoutMs);

  private:
    std::string path_;
    int fd_ = -1;
    std::string seen_;
};

} // namespace vpisd::gateway::test
