#include "gateway/poll/quality.h"

namespace vpisd::gateway {

const char *QualityWord(Quality quality) {
    switch (quality) {
    case Quality::NoAnswer:
        return "no_answer";
    case Quality::Refused:
        return "refused";
    case Quality::BadValue:
        return "bad_value";
    case Quality::Good:
        break;
    }
    return "good";
}

} // namespace vpisd::gateway
