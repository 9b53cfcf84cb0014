#include "gateway/refusal_log.h"

#include "gateway/config/allow_list.h"

namespace vpisd::gateway {

void RefusalLog::Refused(const std::string &peer, const std::string &reason) {
    const std::string address = AddressOf(peer);
    log_.Note(level_, "", address, prefix_ + "refused " + peer + ": " + reason,
              {prefix_ + "refused", "from " + address});
}

} // namespace vpisd::gateway
