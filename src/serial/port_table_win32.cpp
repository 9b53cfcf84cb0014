#include "serial/port_table_win32.h"

#include <windows.h>

#include <cstring>

namespace vpisd {
namespace {

enum class EntryState : unsigned char { Free, Reserved, Open };

struct Entry {
    EntryState state = EntryState::Free;
    PortHandle handle = 0;
    char name[kPortNameBytes] = {};
};

// A slim lock needs no initialisation call, so the table is usable from load time on.
SRWLOCK gTableLock = SRWLOCK_INIT;
Entry gEntries[kMaxOpenPorts];

class TableLock {
  public:
    TableLock() { AcquireSRWLockExclusive(&gTableLock); }
    ~TableLock() { ReleaseSRWLockExclusive(&gTableLock); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

Entry *OpenEntryOf(PortHandle handle) {
    if (handle == 0) {
        return nullptr;
    }
    for (Entry &entry : gEntries) {
        if (entry.state == EntryState::Open && entry.handle == handle) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

bool ReservePortEntry(size_t *index) {
    TableLock lock;
    for (size_t i = 0; i < kMaxOpenPorts; ++i) {
        if (gEntries[i].state == EntryState::Free) {
            gEntries[i] = Entry{};
            gEntries[i].state = EntryState::Reserved;
            *index = i;
            return true;
        }
    }
    return false;
}

void CommitPortEntry(size_t index, PortHandle handle, const char *name) {
    TableLock lock;
    if (index >= kMaxOpenPorts || gEntries[index].state != EntryState::Reserved) {
        return;
    }
    Entry &entry = gEntries[index];
    entry.handle = handle;
    std::strncpy(entry.name, name, sizeof entry.name - 1);
    entry.name[sizeof entry.name - 1] = '\0';
    entry.state = EntryState::Open;
}

void ReleasePortEntry(size_t index) {
    TableLock lock;
    if (index < kMaxOpenPorts && gEntries[index].state == EntryState::Reserved) {
        gEntries[index].state = EntryState::Free;
    }
}

bool FindPortEntry(PortHandle handle, char (*name)[kPortNameBytes]) {
    TableLock lock;
    const Entry *entry = OpenEntryOf(handle);
    if (entry == nullptr) {
        return false;
    }
    if (name != nullptr) {
        std::memcpy(*name, entry->name, sizeof entry->name);
    }
    return true;
}

bool TakePortEntry(PortHandle handle) {
    TableLock lock;
    Entry *entry = OpenEntryOf(handle);
    if (entry == nullptr) {
        return false;
    }
    *entry = Entry{};
    return true;
}

} // namespace vpisd
