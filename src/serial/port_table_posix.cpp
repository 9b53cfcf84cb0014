#include "serial/port_table_posix.h"

#include <mutex>

namespace vpisd {
namespace {

enum class SlotState : uint8_t { Free, Reserved, Open };

struct Slot {
    SlotState state = SlotState::Free;
    PortEntry entry;
};

std::mutex gTableMutex;
Slot gSlots[kMaxOpenPorts];

// The slot a handle names, or nullptr for 0 and values past the table.
Slot *SlotOf(PortHandle handle) {
    if (handle == 0 || handle > kMaxOpenPorts) {
        return nullptr;
    }
    return &gSlots[handle - 1];
}

Slot *OpenSlotOf(PortHandle handle) {
    Slot *slot = SlotOf(handle);
    return slot != nullptr && slot->state == SlotState::Open ? slot : nullptr;
}

} // namespace

PortHandle ReservePortEntry() {
    std::lock_guard<std::mutex> lock(gTableMutex);
    for (size_t i = 0; i < kMaxOpenPorts; ++i) {
        if (gSlots[i].state == SlotState::Free) {
            gSlots[i].state = SlotState::Reserved;
            gSlots[i].entry = PortEntry{};
            return static_cast<PortHandle>(i + 1);
        }
    }
    return 0;
}

void CommitPortEntry(PortHandle handle, const PortEntry &entry) {
    std::lock_guard<std::mutex> lock(gTableMutex);
    Slot *slot = SlotOf(handle);
    if (slot != nullptr && slot->state == SlotState::Reserved) {
        slot->entry = entry;
        slot->state = SlotState::Open;
    }
}

void ReleasePortEntry(PortHandle handle) {
    std::lock_guard<std::mutex> lock(gTableMutex);
    Slot *slot = SlotOf(handle);
    if (slot != nullptr && slot->state == SlotState::Reserved) {
        slot->state = SlotState::Free;
    }
}

bool FindPortEntry(PortHandle handle, PortEntry *entry) {
    std::lock_guard<std::mutex> lock(gTableMutex);
    const Slot *slot = OpenSlotOf(handle);
    if (slot == nullptr) {
        return false;
    }
    *entry = slot->entry;
    return true;
}

bool ExchangeReadTimeout(PortHandle handle, int64_t timeoutMs, int64_t *previousMs) {
    std::lock_guard<std::mutex> lock(gTableMutex);
    Slot *slot = OpenSlotOf(handle);
    if (slot == nullptr || slot->entry.nullDevice) {
        return false;
    }
    *previousMs = slot->entry.readTimeoutMs;
    slot->entry.readTimeoutMs = timeoutMs;
    return true;
}

bool TakePortEntry(PortHandle handle, PortEntry *entry) {
    std::lock_guard<std::mutex> lock(gTableMutex);
    Slot *slot = OpenSlotOf(handle);
    if (slot == nullptr) {
        return false;
    }
    *entry = slot->entry;
    slot->entry = PortEntry{};
    slot->state = SlotState::Free;
    return true;
}

} // namespace vpisd
