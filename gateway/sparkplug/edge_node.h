// The gateway as a Sparkplug B edge node, without the transport: what it publishes at each
// step of its session, in order. The connection's will (NDEATH with the next bdSeq), the
// subscriptions made before the births, NBIRTH and every living device's DBIRTH, DDATA with
// only what changed beyond its deadband, DDEATH and DBIRTH as a device's PLC stops and starts
// answering, a rebirth on request, the primary host application's STATE. The MQTT side feeds it
// events and sends what it returns.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/sparkplug/sparkplug_payload.h"

namespace vpisd::gateway::sparkplug {

struct Outgoing {
    std::string topic;
    std::vector<uint8_t> payload;
    int qos = 0;
    bool retain = false;
};

// One device (a PLC that a poll group reads) as the edge node sees it now.
struct Device {
    std::string id;                // "<line>.<plc>"
    bool alive = false;            // its PLC is answering
    std::vector<Metric> metrics;   // every metric, current value (null until read)
    std::vector<double> deadbands; // per metric: a change within it is not sent (0: any change)
};

// What an NCMD asks for: a rebirth when any of its metrics is "Node Control/Rebirth" true (its
// value read as a DCMD's is, Boolean its type), however many ask. The metrics it cannot carry
// out (other names, values that are no Boolean) are counted, the first one's reason kept.
struct NodeCommand {
    bool rebirth = false;
    size_t ignored = 0;
    std::string firstIgnored; // "\"Node Control/Reboot\": unknown"
};
NodeCommand ReadNodeCommand(const Payload &payload);

class EdgeNode {
  public:
    // `lastBdSeq`: the bdSeq of the session before this one (a reload that rebuilt the
    // Sparkplug side), so that the next connection goes on from it; none: the first is 0.
    EdgeNode(std::string group, std::string node, std::optional<std::string> primaryHost,
             std::optional<uint8_t> lastBdSeq = std::nullopt);

    // Before each connection: the will it carries (NDEATH, QoS 1, not retained, with the bdSeq
    // of this connection: 0 first, then one more at each connection, 255 -> 0).
    Outgoing Connecting();
    // The topics to subscribe (QoS 1) before any birth: NCMD, DCMD of every device, and the
    // primary host's STATE when there is one.
    std::vector<std::string> Subscriptions() const;
    // Once subscribed: NBIRTH and a DBIRTH for each living device, unless a primary host is
    // named and not online yet (then nothing until it is).
    std::vector<Outgoing> Connected(uint64_t now, const std::vector<Device> &devices);
    // NCMD "Node Control/Rebirth" true: NBIRTH again (seq 0, same bdSeq) and every DBIRTH;
    // nothing before the births, nor within kRebirthGapMs of the last rebirth (a host that
    // floods NCMD gets one a second).
    static constexpr uint64_t kRebirthGapMs = 1000;
    bool RebirthDue(uint64_t now) const;
    std::vector<Outgoing> Rebirth(uint64_t now, const std::vector<Device> &devices);
    // A device's values or state now: DDATA with the metrics that changed, DDEATH when its PLC
    // stopped answering, DBIRTH when it answers again (or appears). Nothing before the births.
    std::vector<Outgoing> Update(uint64_t now, const Device &device);

    enum class HostChange : uint8_t { None, Online, Offline, Future };
    // A message on the primary host's STATE topic at `now`: Online when it turned online (births
    // are due: call Connected), Offline when it turned offline (publish Death(), disconnect,
    // wait). An older timestamp than the last one seen changes nothing. One stamped more than
    // kStateAheadMs ahead of `now` changes nothing either, and is not remembered (a host whose
    // clock once ran ahead cannot lock the node out): Future for the first of them since a
    // STATE was last taken, None after it. Each connection starts afresh, from the STATE the
    // broker holds.
    static constexpr uint64_t kStateAheadMs = 24ULL * 3600 * 1000;
    HostChange OnState(std::string_view payload, uint64_t now);
    // The next STATE is taken whatever its timestamp (within kStateAheadMs): a reload reads
    // the STATE the broker holds again.
    void ForgetHostState();
    bool hostOnline() const { return hostOnline_; }
    // NDEATH with this connection's bdSeq, published before a deliberate disconnect.
    Outgoing Death() const;
    // True once NBIRTH has gone out on this connection.
    bool born() const { return born_; }
    uint8_t bdSeq() const { return bdSeq_; }

    std::string NodeTopic(std::string_view type) const;
    std::string DeviceTopic(std::string_view type, std::string_view device) const;

  private:
    struct Sent {
        bool alive = false;
        std::map<std::string, Metric> metrics; // by name: what the host was last told
    };

    Outgoing Message(std::string topic, Payload payload);
    Outgoing Birth(uint64_t now, const Device &device);
    std::vector<Outgoing> Births(uint64_t now, const std::vector<Device> &devices);

    const std::string group_;
    const std::string node_;
    const std::optional<std::string> primaryHost_;
    uint8_t bdSeq_ = 0;
    bool connectedBefore_ = false;
    uint8_t seq_ = 0;
    bool born_ = false;
    bool hostOnline_ = false;
    uint64_t hostTimestamp_ = 0;
    bool futureTold_ = false; // a STATE from the future was told since one was last taken
    std::optional<uint64_t> lastRebirth_;
    std::map<std::string, Sent> devices_; // by device id
};

} // namespace vpisd::gateway::sparkplug
