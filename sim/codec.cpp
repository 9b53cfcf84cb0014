#include "codec.h"

namespace vpisd::sim {

uint8_t FrameChecksum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint8_t>((256u - (sum & 0xFFu)) & 0xFFu);
}

namespace {

void AppendDoubled(std::vector<uint8_t> &out, uint8_t byte) {
    out.push_back(byte);
    if (byte == kDle)
        out.push_back(kDle);
}

} // namespace

std::vector<uint8_t> EncodeFrame(uint8_t toggle, std::string_view route,
                                 std::span<const uint8_t> body) {
    std::vector<uint8_t> out{kDle, kSoh, toggle};
    for (char c : route)
        AppendDoubled(out, static_cast<uint8_t>(c));
    out.push_back(kDle);
    out.push_back(kStx);
    for (uint8_t b : body)
        AppendDoubled(out, b);
    out.push_back(kDle);
    out.push_back(kEtx);
    out.push_back(FrameChecksum(std::span(out).subspan(2)));
    return out;
}

std::string ReverseRouteGroups(std::string_view route) {
    std::string out;
    const size_t groups = route.size() / 2;
    for (size_t g = groups; g-- > 0;)
        out += route.substr(2 * g, 2);
    if (route.size() % 2 != 0)
        out += route.back();
    return out;
}

void FrameReader::Reset() {
    state_ = State::Idle;
}

void FrameReader::StartFrame() {
    frame_ = Frame{};
    frame_.rawLength = 2; // DLE SOH
    sum_ = 0;
    sawStx_ = false;
    unexpected_ = false;
    state_ = State::Toggle;
}

bool FrameReader::Abort(LinkEvent &event) {
    event = LinkEvent{};
    event.kind = LinkEvent::Kind::Aborted;
    event.frame = std::move(frame_);
    frame_ = Frame{};
    return true;
}

bool FrameReader::Feed(uint8_t byte, LinkEvent &event) {
    auto control = [&](LinkEvent::Kind kind) {
        event = LinkEvent{};
        event.kind = kind;
        event.byte = byte;
        return true;
    };

    switch (state_) {
    case State::Idle:
        if (byte == kDle) {
            state_ = State::AfterDle;
            return false;
        }
        return control(byte == kFiller ? LinkEvent::Kind::Filler : LinkEvent::Kind::Stray);
    case State::AfterDle:
        if (byte == kSoh) {
            StartFrame();
            return false;
        }
        if (byte == kDle) {
            // The first DLE led nowhere; the second may still start a pair.
            event = LinkEvent{};
            event.kind = LinkEvent::Kind::Stray;
            event.byte = kDle;
            return true;
        }
        state_ = State::Idle;
        if (byte == kEnq)
            return control(LinkEvent::Kind::Enquiry);
        if (byte == kNak)
            return control(LinkEvent::Kind::Nak);
        if (byte == kToggle11 || byte == kToggle12)
            return control(LinkEvent::Kind::ReplyAck);
        return control(LinkEvent::Kind::Stray);
    default:
        break;
    }

    ++frame_.rawLength;
    if (frame_.rawLength > kMaxFrameBytes) {
        state_ = State::Idle;
        return Abort(event);
    }
    if (state_ == State::Checksum) {
        frame_.checksumOk = ((sum_ + byte) & 0xFFu) == 0;
        frame_.wellFormed =
            (frame_.toggle == kToggle11 || frame_.toggle == kToggle12) && sawStx_ && !unexpected_;
        state_ = State::Idle;
        event = LinkEvent{};
        event.kind = LinkEvent::Kind::Frame;
        event.frame = std::move(frame_);
        frame_ = Frame{};
        return true;
    }
    sum_ += byte;

    switch (state_) {
    case State::Toggle:
        frame_.toggle = byte;
        state_ = State::Route;
        return false;
    case State::Route:
        if (byte == kDle) {
            state_ = State::RouteDle;
        } else {
            frame_.route += static_cast<char>(byte);
        }
        return false;
    case State::Body:
        if (byte == kDle) {
            state_ = State::BodyDle;
        } else {
            frame_.body.push_back(byte);
        }
        return false;
    case State::RouteDle:
    case State::BodyDle: {
        const bool inRoute = state_ == State::RouteDle;
        if (byte == kSoh) {
            // A new frame starts inside this one: give up the old one and read the new one.
            Abort(event);
            StartFrame();
            return true;
        }
        if (byte == kEtx) {
            state_ = State::Checksum;
        } else if (byte == kDle) {
            if (inRoute) {
                frame_.route += static_cast<char>(kDle);
            } else {
                frame_.body.push_back(kDle);
            }
            state_ = inRoute ? State::Route : State::Body;
        } else if (byte == kStx && inRoute) {
            sawStx_ = true;
            state_ = State::Body;
        } else {
            unexpected_ = true;
            state_ = inRoute ? State::Route : State::Body;
        }
        return false;
    }
    default:
        return false;
    }
}

} // namespace vpisd::sim
