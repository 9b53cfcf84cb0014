// The SY/MAX link as the network interface at the far end of the cable sees it: control pairs and
// request frames coming in, acknowledgements and reply frames going out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vpisd::sim {

inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kEnq = 0x05;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kToggle11 = 0x11;
inline constexpr uint8_t kToggle12 = 0x12;
inline constexpr uint8_t kFiller = 0xFE;

// Two's complement of the byte sum: the covered bytes plus the checksum add up to 0 modulo 256.
uint8_t FrameChecksum(std::span<const uint8_t> bytes);

// 10 01 toggle route 10 02 body 10 03 checksum, every 0x10 of route and body doubled; the checksum
// covers toggle .. ETX as sent.
std::vector<uint8_t> EncodeFrame(uint8_t toggle, std::string_view route,
                                 std::span<const uint8_t> body);

// "0A03" -> "030A": two-character groups in reverse order; an odd last character stays last.
std::string ReverseRouteGroups(std::string_view route);

struct Frame {
    uint8_t toggle = 0;
    std::string route;         // the route characters, DLE doubling removed
    std::vector<uint8_t> body; // DLE doubling removed
    bool checksumOk = false;
    bool wellFormed = false; // toggle 0x11/0x12, DLE STX present, nothing unexpected after a DLE
    size_t rawLength = 0;    // bytes on the wire from DLE SOH through the checksum

    bool ok() const { return checksumOk && wellFormed; }
};

struct LinkEvent {
    enum class Kind {
        Filler,   // 0xFE outside a frame
        Stray,    // any other byte outside a frame, or DLE followed by an unknown byte
        Enquiry,  // 10 05
        Nak,      // 10 15
        ReplyAck, // 10 11 or 10 12: the driver acknowledges a reply
        Frame,    // a complete request frame (check frame.ok())
        Aborted,  // a frame cut short by a new DLE SOH or grown beyond any sane size
    };
    Kind kind = Kind::Stray;
    uint8_t byte = 0; // the second byte of a control pair, or the stray/filler byte
    Frame frame;
};

// Byte-by-byte reader of the incoming line; every byte is looked at once, so it can be fed straight
// from the port.
class FrameReader {
  public:
    // Largest frame kept; anything longer is dropped as Aborted.
    static constexpr size_t kMaxFrameBytes = 4096;

    // Returns true when `event` has been filled with a completed event.
    bool Feed(uint8_t byte, LinkEvent &event);
    bool InFrame() const { return state_ != State::Idle && state_ != State::AfterDle; }
    // Forgets a partial frame (after the line stalled in its middle).
    void Reset();

  private:
    enum class State { Idle, AfterDle, Toggle, Route, RouteDle, Body, BodyDle, Checksum };

    void StartFrame();
    bool Abort(LinkEvent &event);

    State state_ = State::Idle;
    Frame frame_;
    uint32_t sum_ = 0;
    bool sawStx_ = false;
    bool unexpected_ = false;
};

} // namespace vpisd::sim
