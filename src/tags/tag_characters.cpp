#include <cstring>
#include <iterator>

#include "tags/parser.h"

namespace vpisd {
namespace {

// Positions 2 to 7 of a GAS: register digits, the letters of "!ROUTE" at their own places,
// the "F" of a 32-bit value and the two digits of a bit number.
constexpr const char *kTagCharacterSets[] = {
    "!0123456789", "R0123456789", "O0123456789", "U0123456789", "T01F", "E0123456789",
};
constexpr int kFirstTestedPosition = 2;
constexpr int kTestedPositions = static_cast<int>(std::size(kTagCharacterSets));

} // namespace

int CheckTagCharacters(const char *gas) {
    if (gas == nullptr) {
        return 0;
    }
    if (gas[0] == '\0' || gas[1] == '\0') {
        return 1; // nothing after the prefix to test
    }
    for (int position = kFirstTestedPosition; gas[position] != '\0'; ++position) {
        const int index = position - kFirstTestedPosition;
        if (index >= kTestedPositions) {
            return 0; // no GAS form reaches this far
        }
        if (std::strchr(kTagCharacterSets[index], gas[position]) == nullptr) {
            return 0;
        }
    }
    return 1;
}

} // namespace vpisd
