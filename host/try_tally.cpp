#include "host/try_tally.h"

#include <algorithm>
#include <cstring>

namespace vpisd::host {
namespace {

// The driver's messages by their formats.
constexpr const char *kWriteTry = "VPISD: Write Retries = %d";        // every try of a write
constexpr const char *kReadRetry = "VPISD: Read Retries = %d GAS=%s"; // tries 1 to 9 of a read
constexpr const char *kLinking = "VPISD: VPI %d Establishing link to PLC %d";
constexpr const char *kLinked = "VPISD: VPI %d PLC %d connected sucessfully";
constexpr const char *kNotLinked = "VPISD: Failed to connect to VPI %d PLC %d";
constexpr const char *kAcknowledged = "VPISD:ReadAckResponse() ACK received OK";
constexpr const char *kErrorReply = "VPISD:Error Reply received.Errcode: %x Hex";
constexpr const char *kWriteReply = "VPISD: Processing write reply FRAME";

bool Is(const char *format, const char *known) {
    return std::strcmp(format, known) == 0;
}

} // namespace

void TryTally::Trace(const char *format, Clock::time_point at) {
    if (Is(format, kWriteTry) || Is(format, kReadRetry)) {
        EndTry(at);
        ++tries_.begun;
        tries_.lastRefusedByPlc = false;
    } else if (Is(format, kLinking)) {
        linking_ = true;
    } else if (Is(format, kLinked) || Is(format, kNotLinked)) {
        linking_ = false;
    } else if (Is(format, kAcknowledged)) {
        if (!linking_) // an enquiry's answer is no acknowledgement of the request
            ackedAt_ = at;
    } else if (Is(format, kErrorReply)) {
        ++tries_.refusedByPlc;
        tries_.lastRefusedByPlc = true;
        replied_ = true;
    } else if (Is(format, kWriteReply)) {
        replied_ = true;
    }
}

void TryTally::Failed(Clock::time_point at) {
    EndTry(at);
}

void TryTally::EndTry(Clock::time_point at) {
    if (ackedAt_ && !replied_) {
        const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(at - *ackedAt_);
        tries_.quietAfterAck =
            tries_.unansweredAfterAck == 0 ? quiet : std::min(tries_.quietAfterAck, quiet);
        ++tries_.unansweredAfterAck;
    }
    ackedAt_.reset();
    replied_ = false;
}

} // namespace vpisd::host
