// The driver's messages in the gateway's log: they come through the host logger, each tagged with
// the line whose worker made the call: level 32 (events) as info, level 8 (protocol traces) as
// debug. A PLC that stays silent makes the driver tell each failed transaction, so its events are
// held to a line a minute per kind.
#pragma once

#include <string>
#include <vector>

namespace vpisd::gateway {

void RouteDriverMessages();
// While set on a thread, the driver's messages of that thread are kept here instead.
void CaptureDriverMessages(std::vector<std::string> *into);
// While set on a thread, the driver's events of that thread concern `plc` (empty: none). Events
// of one kind (the same words whatever their numbers) for one PLC are logged once a minute per
// thread, the others counted in a line when the minute is over, as FlushDriverEvents tells them.
void DriverEventsConcern(const std::string &plc);
// On the thread whose events they are: the counts of the minutes that are over, all of them with
// `all` (before the thread ends).
void FlushDriverEvents(bool all);

} // namespace vpisd::gateway
