#include "gateway/modbus/modbus_mapping.h"

#include <algorithm>

#include "gateway/modbus/modbus_frame.h"

namespace vpisd::gateway {
namespace {

constexpr uint16_t kCoilOn = 0xFF00; // the two values function 05 allows
constexpr uint16_t kCoilOff = 0x0000;
constexpr unsigned kAddressSpace = 0x10000; // Modbus addresses 0..65535

// The fields of a request PDU (function code first) after its head; 0, or the exception
// that answers a PDU that is no valid request.
uint8_t DecodePdu(std::span<const uint8_t> pdu, ModbusRequest &out) {
    if (pdu.empty())
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    const FunctionRule *rule = FindFunction(pdu[0]);
    if (rule == nullptr)
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    // Every function here has an address and a second word: quantity or value.
    if (pdu.size() < 5 || (!(rule->write && rule->maxQuantity > 1) && pdu.size() != 5))
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    const uint16_t second = out.head.second;
    switch (rule->function) {
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
            out.words.push_back(ReadWord(data, 2 * i));
    }
    return 0;
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

ModbusRequest DecodeRequest(std::span<const uint8_t> adu) {
    ModbusRequest request;
    RequestHead &head = request.head;
    head.transaction = ReadWord(adu, 0);
    head.unit = adu[6];
    head.function = adu[7];
    const std::span<const uint8_t> pdu = adu.subspan(kMbapLength);
    if (pdu.size() >= 5) {
        head.address = ReadWord(pdu, 1);
        head.second = ReadWord(pdu, 3);
    }
    request.malformed = DecodePdu(pdu, request);
    return request;
}

uint8_t BuildLineRequest(const ModbusRequest &request, const std::string &plc, LineRequest &job) {
    const RequestHead &head = request.head;
    const FunctionRule *rule = FindFunction(head.function);
    if (head.address + request.quantity > kAddressSpace)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    const unsigned last =
        head.address + request.quantity - 1u; // the last register or coil asked for
    const unsigned lastRegister =
        rule->form == TagForm::Bits ? last / kBitsPerRegister + 1 : last + 1;
    if (lastRegister > kLastRegister)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    job.plc = plc;
    if (rule->form == TagForm::Registers) {
        job.first = static_cast<uint16_t>(head.address + 1u);
        if (rule->write) {
            job.op = LineOp::WriteRegisters;
            job.values = request.words;
        } else {
            job.op = LineOp::ReadRegisters;
            job.count = request.quantity;
        }
        return 0;
    }
    if (rule->write) {
        // Coils [wholeFrom, wholeTo) fill whole registers: their values are fully given.
        const unsigned end = head.address + static_cast<unsigned>(request.coils.size());
        const unsigned wholeFrom = (head.address + kBitsPerRegister - 1) / kBitsPerRegister;
        const unsigned wholeTo = end / kBitsPerRegister;
        job.op = LineOp::WriteBits;
        if (wholeTo > wholeFrom) {
            job.first = static_cast<uint16_t>(wholeFrom + 1);
            job.values.assign(wholeTo - wholeFrom, 0);
        }
        for (unsigned coil = head.address; coil < end; ++coil) {
            const unsigned reg = coil / kBitsPerRegister;
            const unsigned bit = coil % kBitsPerRegister;
            const bool on = request.coils[coil - head.address];
            if (reg >= wholeFrom && reg < wholeTo) {
                if (on)
                    job.values[reg - wholeFrom] |= static_cast<uint16_t>(1u << bit);
                continue;
            }
            job.bits.push_back({static_cast<uint16_t>(reg + 1), static_cast<uint8_t>(bit), on});
        }
        return 0;
    }
    job.op = LineOp::ReadRegisters;
    job.first = static_cast<uint16_t>(head.address / kBitsPerRegister + 1);
    job.count = static_cast<uint16_t>(lastRegister - job.first + 1);
    return 0;
}

uint8_t PlanRequest(const ModbusRequest &request, const UnitConfig *unit, bool gatewayReadOnly,
                    LineRequest &job) {
    // 0x80 and above is no request at all (the exception bit is set): 01, whatever the unit.
    if ((request.head.function & 0x80) != 0)
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    if (unit == nullptr)
        return MODBUS_EXCEPTION_GATEWAY_PATH;
    if (request.malformed != 0)
        return request.malformed;
    if (FindFunction(request.head.function)->write && (gatewayReadOnly || unit->readOnly))
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    return BuildLineRequest(request, unit->plc, job);
}

} // namespace vpisd::gateway
