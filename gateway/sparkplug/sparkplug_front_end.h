// The Sparkplug B front end: the gateway as one edge node, on one broker connection of its own.
// Each PLC that a poll group reads is a device "<line>.<plc>" whose metrics are the group's
// values, as the line's poller reads them for every face that publishes them.
// Its DBIRTH and DDEATH follow the PLC's health; NCMD asks for a rebirth; DCMD writes a metric
// to its PLC by the write path every face takes (SubmitWrite, through the line's poller, under
// Sparkplug's own share of the line's queue), converted back through its group as an MQTT /set is.
// Driven by the process owner as every front end (front_end.h); a reload keeps it only while
// [sparkplug], the poll groups and the lines stay as they were (ReloadPlan::sparkplug).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/front_end.h"
#include "gateway/limited_log.h"
#include "gateway/mqtt/mqtt_client.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/poll/line_poller.h"
#include "gateway/sparkplug/edge_node.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class SparkplugFrontEnd : public FrontEnd {
  public:
    // A Sparkplug side that a reload starts goes on from the bdSeq of the one it stopped.
    SparkplugFrontEnd();
    ~SparkplugFrontEnd() override;
    SparkplugFrontEnd(const SparkplugFrontEnd &) = delete;
    SparkplugFrontEnd &operator=(const SparkplugFrontEnd &) = delete;

    // `lines.config` must have a [sparkplug] table.
    bool Start(const ServedLines &lines, std::string &error) override;
    // The gateway's and the units' read_only of `next` apply to DCMD from now on.
    void Prepare(const ReloadPlan &plan, const std::shared_ptr<const Config> &next) override;
    // Kept only with the same lines, workers and groups: nothing to change.
    void Apply(const ServedLines &lines) override;
    // Polls no more, publishes NDEATH and disconnects.
    void Stop() override;
    // From any thread.
    SparkplugSnapshot Status() const;
    // The bdSeq of the latest connection (none before the first).
    std::optional<uint8_t> bdSeq() const;
    // The statistics line of SIGUSR1 and of the stop.
    void Report() const;

  private:
    struct DeviceState {
        size_t poller = 0; // in pollers_
        size_t line = 0;   // in config_
        std::string plc;
        sparkplug::Device device;
        // Per group of the device: read with an answer since its PLC last answered. The device
        // is born once every group has been: its DBIRTH then holds every value.
        std::vector<bool> fresh;
        // metric name -> its group and value index, for DCMD
        std::map<std::string, std::pair<const PollConfig *, size_t>> byName;
    };

    void OnConnected();
    void OnMessage(const std::string &topic, const std::string &payload);
    void OnRead(size_t poller, const PolledGroup &group);
    void OnHealth(size_t poller);
    void OnState(const std::string &payload);
    void OnNodeCommand(const std::string &payload);
    void OnDeviceCommand(const std::string &device, const std::string &payload);
    void Write(DeviceState &device, const sparkplug::Metric &metric);
    // Under mutex_: publishes `out` in order, counting each by its message type.
    void Send(const std::vector<sparkplug::Outgoing> &out);
    MqttMessage Message(const sparkplug::Outgoing &out) const;
    void Count(const std::string &type);
    std::vector<sparkplug::Device> Devices();
    // Its PLC answers and every group of it has been read since: set `device.alive`.
    void Judge(DeviceState &state);
    bool ReadOnly(size_t line, const std::string &plc) const;

    std::shared_ptr<const Config> config_; // what Start served; its groups stay read
    const SparkplugConfig *sparkplug_ = nullptr;
    std::string broker_; // "host:port"
    MqttStatistics clientStatistics_;
    std::unique_ptr<MqttClient> client_;
    // The pollers of the lines with groups, and what this front end listens to them as.
    std::vector<LinePoller *> pollers_;
    std::vector<LinePoller::ListenerId> listening_;
    mutable std::mutex rightsMutex_;
    std::shared_ptr<const Config> rights_; // set by a reload; until then config_ says
    // Every line of an NCMD or DCMD (and of a STATE from the future), of one kind to one device
    // or metric: a line a minute, the others counted (a command flood on the broker costs a few
    // lines). Shared with the writes' answers, which may come after the front end is gone.
    const std::shared_ptr<LimitedLog> commandLog_ = std::make_shared<LimitedLog>(
        LimitedLog::Count{"sparkplug commands:", "to other devices or of other kinds"});

    // Held while the session changes: the edge node, the devices, the counters. Every message
    // of the session goes out under it, so that they leave in seq order.
    mutable std::mutex mutex_;
    std::unique_ptr<sparkplug::EdgeNode> edge_;
    bool everConnected_ = false;
    std::vector<DeviceState> devices_;
    struct Slot {
        const PollConfig *poll = nullptr; // in config_
        size_t device = 0;
        size_t first = 0; // its first metric in the device's
        size_t group = 0; // in the device's groups
    };
    // By poller and the group's index among its line's.
    std::map<std::pair<size_t, size_t>, Slot> slots_;
    std::map<std::string, size_t> deviceIndex_; // "<line>.<plc>" -> devices_
    std::map<std::string, uint64_t> messages_;  // by type, sent and received
};

} // namespace vpisd::gateway
