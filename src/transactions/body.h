// Register read/write command bodies, the reply body check and value conversion.
#pragma once

#include <cstdint>

#include "vpisd/vpi.h"

namespace vpisd {

constexpr uint8_t READ_COMMAND = 0x00;
constexpr uint8_t WRITE_COMMAND = 0x02;
constexpr uint8_t READ_REPLY = 0x86;
constexpr uint8_t WRITE_REPLY = 0x80;
constexpr uint8_t ERROR_REPLY = 0xA2;

int BuildCommand(const VpiRequest *request, uint8_t *body, uint8_t code);
int CheckReplyBody(const VpiRequest *request, const uint8_t *body, int length, uint8_t code,
                   uint8_t *errorCode);
void StoreReadValues(const uint8_t *body, int length, const TagAccess *tag);

} // namespace vpisd
