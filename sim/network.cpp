#include "network.h"

#include "error.h"

#include <cstdio>

namespace vpisd::sim {

namespace {

std::string HexByte(uint8_t b) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

} // namespace

Network::Network(const NetworkConfig &config) : config_(config), rng_(config.seed) {
    ValidateNetwork(config_);
    plcs_.reserve(config_.plcs.size());
    for (const PlcConfig &setup : config_.plcs) {
        plcs_.emplace_back(setup.name,
                           setup.registers != 0 ? setup.registers : config_.defaultRegisters);
        for (const auto &[reg, value] : setup.initial)
            plcs_.back().Set(reg, value);
        for (const Motion &motion : setup.motions)
            plcs_.back().AddMotion(motion, config_.seed + static_cast<uint32_t>(motion.reg));
    }
}

Plc &Network::FindPlc(std::string_view name) {
    for (Plc &plc : plcs_) {
        if (plc.name() == name)
            return plc;
    }
    throw SimError("no PLC named " + std::string(name));
}

Network::Target Network::Resolve(std::string_view route) {
    Target target;
    if (route.empty()) {
        for (size_t i = 0; i < plcs_.size(); ++i) {
            if (config_.plcs[i].direct)
                return {&plcs_[i], &config_.plcs[i], RequestPath::Direct};
        }
        return target;
    }
    const auto drops = RouteDrops(route);
    if (!drops)
        return target;
    for (size_t i = 0; i < plcs_.size(); ++i) {
        const PlcConfig &setup = config_.plcs[i];
        if (setup.route == *drops)
            return {&plcs_[i], &setup, RequestPath::Normal};
        if (!setup.backup.empty() && setup.backup == *drops) {
            return {&plcs_[i], &setup, RequestPath::Backup};
        }
    }
    return target;
}

Answer Network::Handle(const LinkEvent &event, Clock::time_point now) {
    switch (event.kind) {
    case LinkEvent::Kind::Filler:
        stats_.Add("fillers");
        return {};
    case LinkEvent::Kind::Stray:
        stats_.Add("stray_bytes");
        return {};
    case LinkEvent::Kind::Nak:
        stats_.Add("naks_received");
        return {};
    case LinkEvent::Kind::ReplyAck:
        stats_.Add("reply_acks");
        return {};
    case LinkEvent::Kind::Aborted:
        stats_.Add("frames_bad");
        return {};
    case LinkEvent::Kind::Enquiry: {
        stats_.Add("enquiries");
        previousToggle_ = 0;
        const uint8_t answer = config_.enquiryAnswer != 0 ? config_.enquiryAnswer : lastAccepted_;
        return {Transmission{config_.turnaroundMs, {kDle, answer}}};
    }
    case LinkEvent::Kind::Frame:
        return HandleFrame(event.frame, now);
    }
    return {};
}

Answer Network::HandleFrame(const Frame &frame, Clock::time_point now) {
    stats_.Add("frames");
    if (!frame.ok()) {
        stats_.Add("frames_bad");
        return {Transmission{config_.turnaroundMs, {kDle, kNak}}};
    }
    if (previousToggle_ == frame.toggle)
        stats_.Add("toggle_repeats");
    previousToggle_ = frame.toggle;

    const Target target = Resolve(frame.route);
    const std::string plcName = target.plc != nullptr ? target.plc->name() : std::string();
    stats_.Add("requests." + (target.plc != nullptr ? plcName : std::string("none")) + "." +
               RequestPathName(target.path));

    const Effects effects = faults_.Apply(plcName, target.path, now, rng_);
    for (FaultKind kind : effects.fired)
        stats_.Add(std::string("injected.") + FaultKindName(kind));
    if (effects.silence)
        return {};
    if (effects.nak)
        return {Transmission{config_.turnaroundMs, {kDle, kNak}}};

    const uint8_t sequence = frame.body.size() >= 2 ? frame.body[1] : 0;
    const bool pathDown = effects.dead ||
                          (target.path == RequestPath::Normal && target.setup->normalDown) ||
                          (target.path == RequestPath::Backup && target.setup->backupDown) ||
                          (target.path == RequestPath::Direct && target.setup->normalDown);
    std::vector<uint8_t> body;
    if (target.plc == nullptr) {
        body = ErrorReply(sequence, uint8_t(ErrorCode::InvalidRoute));
    } else if (pathDown) {
        // With no network interface in between there is nobody to report the dead PLC.
        if (target.path == RequestPath::Direct)
            return {};
        body = ErrorReply(sequence, uint8_t(ErrorCode::RemoteNotActive));
    } else if (effects.error) {
        body = ErrorReply(sequence, *effects.error);
    } else {
        CommandKind kind = CommandKind::None;
        body = target.plc->Execute(frame.body, config_.maxWords, kind);
        if (kind == CommandKind::Read)
            stats_.Add("reads");
        if (kind == CommandKind::Write)
            stats_.Add("writes");
        if (kind == CommandKind::MaskedWrite)
            stats_.Add("masked_writes");
    }
    if (body[0] == kErrorReply)
        stats_.Add("errors_sent." + HexByte(body[2]));
    if (effects.stale && body.size() >= 2)
        body[1] = static_cast<uint8_t>(body[1] - 1);

    lastAccepted_ = frame.toggle;
    const std::string replyRoute =
        effects.noReverse ? frame.route : ReverseRouteGroups(frame.route);
    std::vector<uint8_t> reply = EncodeFrame(frame.toggle, replyRoute, body);
    if (effects.checksum)
        reply.back() = static_cast<uint8_t>(reply.back() + 1);
    if (effects.truncateAt) {
        const size_t keep = *effects.truncateAt == 0 ? reply.size() - 3 : *effects.truncateAt;
        if (keep < reply.size())
            reply.resize(keep);
    }

    std::vector<uint8_t> ack(effects.noise, 0x55);
    ack.push_back(kDle);
    ack.push_back(frame.toggle);
    stats_.Add("acks_sent");
    stats_.Add("replies_sent");
    return {Transmission{config_.turnaroundMs, std::move(ack)},
            Transmission{effects.delayMs, std::move(reply)}};
}

} // namespace vpisd::sim
