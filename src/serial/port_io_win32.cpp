// Reads, writes and read timeouts on an open port. The read timeout is the total time
// limit of one ReadFile call: it returns when all bytes asked for are in or when the
// limit has passed since the call began, with whatever arrived.
#include "serial/port.h"

#include <windows.h>

#include <cstdint>

#include "serial/port_table_win32.h"

namespace vpisd {
namespace {

constexpr int64_t kMsPerTimeoutUnit = 10;
constexpr int32_t kFlushTimeout = 5; // 50 ms per drain read
constexpr DWORD kFlushBlockBytes = 512;
// The largest total limit kept exact; MAXDWORD itself is left alone, it has meanings of
// its own in COMMTIMEOUTS.
constexpr int64_t kLongestReadTimeoutMs = MAXDWORD - 1;

// All read timeout fields zero would make ReadFile wait for the full count however long
// that takes; a limit of 0 therefore means "return at once with what is pending", which
// is what an interval limit of MAXDWORD with zero totals asks for.
// The write limit's constant follows the read timeout: a write gets its bytes' line time
// (the multiplier set at open) plus the read timeout.
void PutReadTimeout(COMMTIMEOUTS *timeouts, DWORD milliseconds) {
    timeouts->ReadTotalTimeoutConstant = milliseconds;
    timeouts->ReadIntervalTimeout = milliseconds == 0 ? MAXDWORD : 0;
    timeouts->WriteTotalTimeoutConstant = milliseconds;
}

DWORD TimeoutUnitsToMs(int32_t timeout) {
    if (timeout <= 0) {
        return 0;
    }
    const int64_t ms = static_cast<int64_t>(timeout) * kMsPerTimeoutUnit;
    return static_cast<DWORD>(ms > kLongestReadTimeoutMs ? kLongestReadTimeoutMs : ms);
}

} // namespace

// Only the read total limit changes (with the interval field that gives 0 its meaning, and
// the write limit's constant);
// nothing is written when the port already has the limit asked for.
int32_t SetReadTimeout(PortHandle handle, int32_t timeout) {
    if (!FindPortEntry(handle, nullptr)) {
        return 0;
    }
    const HANDLE device = ToWin32Handle(handle);
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(device, &timeouts)) {
        return 0;
    }
    const DWORD previousMs = timeouts.ReadTotalTimeoutConstant;
    COMMTIMEOUTS wanted = timeouts;
    PutReadTimeout(&wanted, TimeoutUnitsToMs(timeout));
    if ((wanted.ReadTotalTimeoutConstant != timeouts.ReadTotalTimeoutConstant ||
         wanted.ReadIntervalTimeout != timeouts.ReadIntervalTimeout ||
         wanted.WriteTotalTimeoutConstant != timeouts.WriteTotalTimeoutConstant) &&
        !SetCommTimeouts(device, &wanted)) {
        return 0;
    }
    return static_cast<int32_t>(previousMs / kMsPerTimeoutUnit);
}

int32_t PortWrite(PortHandle handle, const uint8_t *buffer, uint32_t count, uint32_t *written) {
    if (!FindPortEntry(handle, nullptr) || (buffer == nullptr && count > 0)) {
        return PORT_IO_FAILED;
    }
    DWORD put = 0;
    if (!WriteFile(ToWin32Handle(handle), buffer, count, &put, nullptr)) {
        return PORT_IO_FAILED;
    }
    if (written != nullptr) {
        *written = put;
    }
    return put == count ? PORT_OK : PORT_SHORT_WRITE;
}

int32_t PortRead(PortHandle handle, uint8_t *buffer, uint32_t count, uint32_t *read) {
    if (read != nullptr) {
        *read = 0;
    }
    if (!FindPortEntry(handle, nullptr) || (buffer == nullptr && count > 0)) {
        return PORT_IO_FAILED;
    }
    uint32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(ToWin32Handle(handle), buffer + total, count - total, &got, nullptr)) {
            GetLastError(); // fetched as the system expects after a failure; not used
            return PORT_IO_FAILED;
        }
        if (got == 0) {
            return PORT_IO_FAILED;
        }
        // A device never reports more than asked; the guard keeps the buffer safe if one did.
        total += got > count - total ? count - total : got;
        if (read != nullptr) {
            *read = total;
        }
    }
    return PORT_OK;
}

// The first byte within the read timeout, then what has come meanwhile, up to `most`.
int32_t PortReadSome(PortHandle handle, uint8_t *buffer, uint32_t most, uint32_t *read) {
    if (read != nullptr) {
        *read = 0;
    }
    if (!FindPortEntry(handle, nullptr) || buffer == nullptr || most == 0) {
        return PORT_IO_FAILED;
    }
    const HANDLE device = ToWin32Handle(handle);
    DWORD got = 0;
    if (!ReadFile(device, buffer, 1, &got, nullptr)) {
        GetLastError(); // fetched as the system expects after a failure; not used
        return PORT_IO_FAILED;
    }
    if (got == 0) {
        return PORT_IO_FAILED;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (most > 1 && ClearCommError(device, &errors, &status) && status.cbInQue > 0) {
        const DWORD ask = status.cbInQue < most - 1 ? status.cbInQue : most - 1;
        DWORD more = 0;
        if (ReadFile(device, buffer + 1, ask, &more, nullptr)) {
            got += more > ask ? ask : more;
        }
    }
    if (read != nullptr) {
        *read = got;
    }
    return PORT_OK;
}

int32_t FlushPort(PortHandle handle) {
    if (!FindPortEntry(handle, nullptr)) {
        return 1;
    }
    const HANDLE device = ToWin32Handle(handle);
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(device, &errors, &status) && status.cbInQue == 0) {
        return 0;
    }
    const int32_t previous = SetReadTimeout(handle, kFlushTimeout);
    uint8_t scratch[kFlushBlockBytes];
    bool failed = false;
    DWORD got = 0;
    do {
        got = 0;
        failed = !ReadFile(device, scratch, kFlushBlockBytes, &got, nullptr);
    } while (!failed && got == kFlushBlockBytes);
    if (previous != 0) {
        SetReadTimeout(handle, previous);
    }
    return failed ? 1 : 0;
}

int32_t SendBreak(uint32_t milliseconds, PortHandle handle) {
    const bool open = FindPortEntry(handle, nullptr);
    if (open) {
        SetCommBreak(ToWin32Handle(handle));
    }
    Sleep(milliseconds);
    if (open) {
        ClearCommBreak(ToWin32Handle(handle));
    }
    return 0;
}

int32_t PortSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
    return 0;
}

} // namespace vpisd
