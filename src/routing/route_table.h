// The route table of a VPI: 100 raw 19-byte slots inside the VpiContext.
#pragma once

#include <cstdint>

#include "driver/context.h"

namespace vpisd {

constexpr uint8_t kRouteSeparator = 0x2C; // ',' between normal and backup drops
constexpr int kMaxDrops = 8;
constexpr int kRouteTextBytes = 20;       // caller's zero-filled buffer for EncodeRoute

int HasRoutes(const VpiContext *context);
int HasBackupRoute(const VpiContext *context, int slot);
// Stores one init-file line (spaces and line end removed) into an all-zero slot.
void StoreRoute(VpiContext *context, const char *line, int slot);
// Writes the selected route as hex characters, two per drop; returns their count (0..16).
int EncodeRoute(const VpiContext *context, uint8_t *out, int slot);
// After a communication failure: moves a slot with a backup route to its other route.
void SwitchRoute(VpiContext *context, int slot);

} // namespace vpisd
