// Modbus requests in SY/MAX terms. Modbus address a (0-based) is SY/MAX register a + 1; coil c
// is bit (c mod 16) + 1 of register c / 16 + 1. The tables here say what each function does and
// which exception answers each outcome.
#pragma once

#include <modbus/modbus.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_request.h"
#include "gateway/modbus/modbus_frame.h"

namespace vpisd::gateway {

constexpr unsigned kLastRegister = 9999; // four digits: no GAS names a register beyond it
constexpr unsigned kBitsPerRegister = 16;

enum class TagForm : uint8_t { Registers, Bits };

struct FunctionRule {
    uint8_t function;
    bool write;
    TagForm form;
    uint16_t maxQuantity; // Modbus's own limit for the function
};

constexpr FunctionRule kFunctionRules[] = {
    {MODBUS_FC_READ_COILS, false, TagForm::Bits, MODBUS_MAX_READ_BITS},
    {MODBUS_FC_READ_DISCRETE_INPUTS, false, TagForm::Bits, MODBUS_MAX_READ_BITS},
    {MODBUS_FC_READ_HOLDING_REGISTERS, false, TagForm::Registers, MODBUS_MAX_READ_REGISTERS},
    {MODBUS_FC_READ_INPUT_REGISTERS, false, TagForm::Registers, MODBUS_MAX_READ_REGISTERS},
    {MODBUS_FC_WRITE_SINGLE_COIL, true, TagForm::Bits, 1},
    {MODBUS_FC_WRITE_SINGLE_REGISTER, true, TagForm::Registers, 1},
    {MODBUS_FC_WRITE_MULTIPLE_COILS, true, TagForm::Bits, MODBUS_MAX_WRITE_BITS},
    {MODBUS_FC_WRITE_MULTIPLE_REGISTERS, true, TagForm::Registers, MODBUS_MAX_WRITE_REGISTERS},
};

struct StatusException {
    LineStatus status;
    uint8_t exception;
};

// How a line's outcome reaches the Modbus client.
constexpr std::array<StatusException, host::kLineStatusCount> kStatusExceptions = {{
    {LineStatus::Ok, 0},                                             // a normal reply
    {LineStatus::Refused, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE}, // 04
    {LineStatus::NoAnswer, MODBUS_EXCEPTION_GATEWAY_TARGET},         // 0B
    {LineStatus::LineDown, MODBUS_EXCEPTION_GATEWAY_TARGET},         // 0B
    {LineStatus::Busy, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY},       // 06
    {LineStatus::Cancelled, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY},  // 06: try again later
}};
static_assert(host::CoversEveryStatus(kStatusExceptions));

const FunctionRule *FindFunction(uint8_t function);
// 0 for Ok.
uint8_t ExceptionFor(LineStatus status);

// One request as its client sent it, decoded once from its frame (MBAP header and PDU).
struct ModbusRequest {
    RequestHead head;            // what its answer repeats
    uint8_t malformed = 0;       // 0, or the exception the PDU itself earns (DecodeRequest)
    uint16_t quantity = 0;       // registers or coils; 1 for 05 and 06
    std::vector<uint16_t> words; // 06, 16
    std::vector<bool> coils;     // 05, 15
};

// Reads a whole frame that FrameReader returned (at least the MBAP header and one byte). A PDU
// that is no valid request is marked `malformed`: 01 for an unknown function (0x80 and above
// included), 03 for a length, quantity, value or byte count out of range.
ModbusRequest DecodeRequest(std::span<const uint8_t> adu);
// The job for the line of a well-formed request; 0, or 02 when the range reaches past register
// 9999. A coil write writes the registers whose 16 bits it all gives as one block (no
// read-modify-write) and the coils of partly covered registers as masked bit writes, all in
// address order.
uint8_t BuildLineRequest(const ModbusRequest &request, const std::string &plc, LineRequest &job);
// The job for the line of a request to `unit` (nullptr: no such unit here): 0, or the exception
// that answers it before any traffic, in this order: 01 for a function code of 0x80 and above
// (whatever the unit), 0A for an unknown unit, the request's own `malformed`, 01 for a write
// where the gateway or the unit is read-only, then BuildLineRequest's 02.
uint8_t PlanRequest(const ModbusRequest &request, const UnitConfig *unit, bool gatewayReadOnly,
                    LineRequest &job);

} // namespace vpisd::gateway
