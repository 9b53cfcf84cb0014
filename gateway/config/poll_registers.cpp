#include "gateway/config/poll_registers.h"

#include <algorithm>
#include <charconv>

namespace vpisd::gateway {
namespace {

constexpr unsigned kLastRegister = 9999; // the largest register a GAS can name
constexpr unsigned kMostRegisters = 125; // one block read of the line worker

std::optional<unsigned> Number(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::string PollRegisters::Name(uint16_t index) const {
    switch (form) {
    case ValueForm::Pair:
        return std::to_string(first + 2 * index) + "F";
    case ValueForm::Bit:
        return std::to_string(first) + "/" + std::to_string(bit);
    case ValueForm::Register:
        break;
    }
    return std::to_string(first + index);
}

std::optional<PollRegisters> ParsePollRegisters(std::string_view text, std::string &why) {
    PollRegisters registers;
    std::string_view head = text;
    std::optional<unsigned> count = 1;
    if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
        head = text.substr(0, colon);
        count = Number(text.substr(colon + 1));
        if (!count || *count == 0) {
            why = "the count after \":\" must be a number from 1";
            return std::nullopt;
        }
    }
    if (const size_t slash = head.find('/'); slash != std::string_view::npos) {
        const auto bit = Number(head.substr(slash + 1));
        if (!bit || *bit < 1 || *bit > 16) {
            why = "the bit after \"/\" must be 1 (least significant) to 16";
            return std::nullopt;
        }
        if (*count != 1) {
            why = "a bit is one value: no count";
            return std::nullopt;
        }
        registers.form = ValueForm::Bit;
        registers.bit = static_cast<uint8_t>(*bit);
        head = head.substr(0, slash);
    } else if (!head.empty() && (head.back() == 'F' || head.back() == 'f')) {
        registers.form = ValueForm::Pair;
        head.remove_suffix(1);
    }
    const auto first = Number(head);
    if (!first || *first < 1 || *first > kLastRegister) {
        why = "expected a register from 1 to 9999, e.g. \"100:8\", \"101F:2\" or \"100/3\"";
        return std::nullopt;
    }
    if (registers.form == ValueForm::Pair && *first % 2 == 0) {
        why = "a 32-bit value begins at an odd register";
        return std::nullopt;
    }
    registers.first = static_cast<uint16_t>(*first);
    registers.count = static_cast<uint16_t>(std::min(*count, kMostRegisters + 1));
    if (registers.Registers() > kMostRegisters || *count > kMostRegisters) {
        why = "one group reads at most " + std::to_string(kMostRegisters) + " registers";
        return std::nullopt;
    }
    if (registers.first + registers.Registers() - 1u > kLastRegister) {
        why = "the group reaches past register 9999";
        return std::nullopt;
    }
    return registers;
}

} // namespace vpisd::gateway
