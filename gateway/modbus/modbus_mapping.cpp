#include "gateway/modbus/modbus_mapping.h"

#include <algorithm>

#include "host/values.h"

namespace vpisd::gateway {
namespace {

constexpr uint16_t kCoilOn = 0xFF00; // the two values function 05 allows
constexpr uint16_t kCoilOff = 0x0000;
constexpr unsigned kAddressSpace = 0x10000; // Modbus addresses 0..65535

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

} // namespace

const FunctionRule *FindFunction(uint8_t function) {
    const auto *found = std::find_if(std::begin(kFunctionRules), std::end(kFunctionRules),
                                     [&](const FunctionRule &r) { return r.function == function; });
    return found == std::end(kFunctionRules) ? nullptr : found;
}

uint8_t ExceptionFor(LineStatus status) {
    return host::RowFor(kStatusExceptions, status).exception;
}

bool FramedAsAnnounced(std::span<const uint8_t> pdu) {
    if (pdu.empty())
        return false;
    const FunctionRule *rule = FindFunction(pdu[0]);
    if (rule == nullptr)
        return false;
    if (rule->write && rule->maxQuantity > 1) // 15 and 16 announce their data's byte count
        return pdu.size() >= 6 && pdu.size() == 6u + pdu[5];
    return pdu.size() == 5;
}

uint8_t DecodePdu(std::span<const uint8_t> pdu, ModbusPdu &out) {
    if (pdu.empty())
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    out.function = pdu[0];
    const FunctionRule *rule = FindFunction(out.function);
    if (rule == nullptr)
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    // Every function here has an address and a second word: quantity or value.
    if (pdu.size() < 5 || (!(rule->write && rule->maxQuantity > 1) && pdu.size() != 5))
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    out.address = Word(pdu, 1);
    const uint16_t second = Word(pdu, 3);
    switch (out.function) {
    case MODBUS_FC_WRITE_SINGLE_COIL:
        if (second != kCoilOn && second != kCoilOff)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        out.quantity = 1;
        out.coils = {second == kCoilOn};
        return 0;
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        out.quantity = 1;
        out.words = {second};
        return 0;
    default:
        break;
    }
    out.quantity = second;
    if (out.quantity < 1 || out.quantity > rule->maxQuantity)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    if (!rule->write)
        return 0;
    // 15 and 16: a byte count, then exactly that many bytes of data.
    const size_t needed =
        rule->form == TagForm::Bits ? (out.quantity + 7u) / 8u : 2u * out.quantity;
    if (pdu.size() < 6 || pdu[5] != needed || pdu.size() != 6 + needed)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    const auto data = pdu.subspan(6);
    if (rule->form == TagForm::Bits) {
        for (size_t i = 0; i < out.quantity; ++i)
            out.coils.push_back(((data[i / 8] >> (i % 8)) & 1) != 0);
    } else {
        for (size_t i = 0; i < out.quantity; ++i)
            out.words.push_back(Word(data, 2 * i));
    }
    return 0;
}

uint8_t BuildLineRequest(const ModbusPdu &pdu, const std::string &plc, LineRequest &job) {
    const FunctionRule *rule = FindFunction(pdu.function);
    if (pdu.address + pdu.quantity > kAddressSpace)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    const unsigned last = pdu.address + pdu.quantity - 1u; // the last register or coil asked for
    const unsigned lastRegister =
        rule->form == TagForm::Bits ? last / kBitsPerRegister + 1 : last + 1;
    if (lastRegister > kLastRegister)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    job.plc = plc;
    if (rule->form == TagForm::Registers) {
        job.first = static_cast<uint16_t>(pdu.address + 1u);
        if (rule->write) {
            job.op = LineOp::WriteRegisters;
            job.values = pdu.words;
        } else {
            job.op = LineOp::ReadRegisters;
            job.count = pdu.quantity;
        }
        return 0;
    }
    if (rule->write) {
        job.op = LineOp::WriteBits;
        for (size_t i = 0; i < pdu.coils.size(); ++i) {
            const unsigned coil = pdu.address + static_cast<unsigned>(i);
            job.bits.push_back({static_cast<uint16_t>(coil / kBitsPerRegister + 1),
                                static_cast<uint8_t>(coil % kBitsPerRegister), pdu.coils[i]});
        }
        return 0;
    }
    job.op = LineOp::ReadRegisters;
    job.first = static_cast<uint16_t>(pdu.address / kBitsPerRegister + 1);
    job.count = static_cast<uint16_t>(lastRegister - job.first + 1);
    return 0;
}

std::vector<uint8_t> CoilsFromRegisters(uint16_t address, uint16_t quantity,
                                        std::span<const uint16_t> registers) {
    std::vector<uint8_t> coils(quantity);
    const unsigned base = address / kBitsPerRegister;
    for (unsigned i = 0; i < quantity; ++i) {
        const unsigned coil = address + i;
        const size_t word = coil / kBitsPerRegister - base;
        const host::ValueFormat bit{host::ValueType::Bit, host::WordOrder::HighFirst,
                                    static_cast<uint8_t>(coil % kBitsPerRegister)};
        if (word < registers.size())
            coils[i] = static_cast<uint8_t>(host::DecodeValue(bit, registers.subspan(word, 1)));
    }
    return coils;
}

} // namespace vpisd::gateway
