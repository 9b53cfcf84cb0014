// A PLC-side peer on the master of a Pty, for tests that run the driver against a line.
//
// A thread reads everything the driver writes, records it, recognises what it is and
// answers as the test scripted it:
//   - link enquiry (FE.. 10 05)            -> kind Enquiry, answered by the enquiry script
//   - DLE NAK (10 15)                       -> kind DleNak, never answered
//   - request frame (10 01 t .. 10 03 cs)   -> kind Request, answered by the request script
//   - reply acknowledgement (10 11 / 10 12) -> kind ReplyAck, never answered
//   - anything else (other than FE fillers) -> kind Noise
// Answers are raw bytes written to the line at once; an empty answer is silence. A script
// runs on the peer thread and may sleep to delay its answer.
//
// Which answer is used: a queued one-shot answer first (QueueEnquiry / QueueRequest), then the
// standing script (OnEnquiry / OnRequest). Without either, an enquiry is answered with 10 12
// and a request with silence.
//
// Declare the ScriptedPlc after its Pty so that it stops before the Pty closes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pty.h"

namespace vpisd::test {

using Bytes = std::vector<uint8_t>;

// A request frame as the driver sent it, with DLE doubling undone.
struct ParsedRequest {
    uint8_t toggle = 0;
    Bytes route;             // route characters between the header and DLE STX
    Bytes body;              // command body between DLE STX and DLE ETX
    uint8_t checksum = 0;    // checksum byte as received
    bool checksumOk = false; // covered bytes (toggle..ETX as sent) plus checksum sum to 0
    Bytes raw;               // DLE SOH .. checksum, exactly as received
    // Sequence byte of the command body (its second byte), or 0 if the body is shorter.
    uint8_t sequence() const { return body.size() > 1 ? body[1] : 0; }
};

struct PeerEvent {
    enum Kind { Enquiry, DleNak, Request, ReplyAck, Noise };
    Kind kind;
    Bytes bytes;           // the driver's bytes of this item (fillers not included)
    ParsedRequest request; // Kind Request only
    std::chrono::steady_clock::time_point at;
};

class ScriptedPlc {
  public:
    // index counts the enquiries (or requests) seen so far, from 0.
    using EnquiryScript = std::function<Bytes(int index)>;
    using RequestScript = std::function<Bytes(const ParsedRequest &request, int index)>;

    explicit ScriptedPlc(const Pty &pty);
    ~ScriptedPlc();
    ScriptedPlc(const ScriptedPlc &) = delete;
    ScriptedPlc &operator=(const ScriptedPlc &) = delete;

    void OnEnquiry(EnquiryScript script);
    void OnRequest(RequestScript script);
    void QueueEnquiry(Bytes answer);
    void QueueRequest(RequestScript once);

    // Everything the driver has written, in order.
    Bytes Received() const;
    std::vector<PeerEvent> Events() const;
    int Count(PeerEvent::Kind kind) const;
    // Waits until at least `count` events of `kind` were seen; false after timeoutMs.
    bool WaitFor(PeerEvent::Kind kind, int count, int timeoutMs) const;
    // Forgets what was received so far (scripts and queues stay).
    void ClearRecord();
    // Stops and joins the thread; the destructor calls it.
    void Stop();

  private:
    void Run();
    void Recognise();
    void Answer(PeerEvent &event);

    int master_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    Bytes pending_;
    Bytes received_;
    std::vector<PeerEvent> events_;
    int enquiries_ = 0;
    int requests_ = 0;
    EnquiryScript enquiryScript_;
    RequestScript requestScript_;
    std::deque<Bytes> enquiryQueue_;
    std::deque<RequestScript> requestQueue_;
    std::thread thread_;
};

// The PLC's own frame builder: DLE SOH toggle route DLE STX body DLE ETX checksum, with
// every 0x10 of route and body doubled and the checksum over toggle..ETX as sent.
Bytes ReplyFrame(uint8_t toggle, const Bytes &route, const Bytes &body);
// Route characters with their two-character groups in reverse order (the odd last
// character, if any, stays last).
Bytes ReversedRoute(const Bytes &route);
// A well-behaved answer to a request: acknowledgement 10 11, then a reply frame with the
// request's toggle and reversed route and the given body.
Bytes GoodAnswer(const ParsedRequest &request, const Bytes &body);
// Parses one request frame (DLE SOH .. checksum, optional trailing bytes ignored);
// false when the bytes are not a whole frame.
bool ParseRequest(const Bytes &frame, ParsedRequest &out);

} // namespace vpisd::test
