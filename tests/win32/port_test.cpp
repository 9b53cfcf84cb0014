// The Win32 port layer under Wine: opening by name, the null device, refusal of handles
// the layer did not open, and, against an echoing peer on a pseudo-terminal that Wine
// shows as a COM port, read timeouts, partial reads, the flush and the purge.
// Usage: vpisd-porttest.exe [COMn]   (without a port only the device-less checks run)
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "check.h"
#include "serial/instance_io.h"
#include "serial/port.h"

using namespace vpisd;

namespace {

// The peer echoes every byte; a byte 0xD1 to 0xDF is echoed after (low nibble x 100) ms.
constexpr uint8_t kDelayed400Ms = 0xD4;

ULONGLONG Now() {
    return GetTickCount64();
}

void NullDeviceAndNames() {
    PortHandle handle = 0;
    CHECK_EQ(OpenPort("NUL", 9600, 8, 0, 2, 8, &handle), PORT_OK);
    CHECK(handle != 0);
    // Nothing is configured on the null device, so it has no read timeout to report.
    CHECK_EQ(SetReadTimeout(handle, 5), 0);
    CHECK(PortOpenedAs(handle, "NUL"));
    CHECK(!PortOpenedAs(handle, "nul"));
    uint32_t written = 0;
    const uint8_t bytes[] = {1, 2, 3};
    CHECK_EQ(PortWrite(handle, bytes, sizeof bytes, &written), PORT_OK);
    CHECK_EQ(written, sizeof bytes);
    CHECK_EQ(ClosePort(handle), PORT_OK);
    CHECK_EQ(ClosePort(handle), PORT_IO_FAILED);
    CHECK(!PortOpenedAs(handle, "NUL"));

    // Lower case is a device name like any other and goes through the line setup,
    // which the null device cannot take.
    PortHandle lower = 0;
    CHECK_EQ(OpenPort("nul", 9600, 8, 0, 2, 8, &lower), PORT_GET_STATE_FAILED);
    CHECK_EQ(lower, 0u);

    PortHandle missing = 0x5A5A;
    CHECK_EQ(OpenPort("NOPORT", 9600, 8, 0, 2, 8, &missing), PORT_OPEN_FAILED);
    CHECK_EQ(missing, 0x5A5Au);
    const char unterminated[kPortNameBytes] = {'N', 'U', 'L', 'N', 'U', 'L',
                                               'N', 'U', 'L', 'N', 'U', 'L'};
    CHECK_EQ(OpenPort(unterminated, 9600, 8, 0, 2, 8, &missing), PORT_OPEN_FAILED);
    CHECK_EQ(OpenPort("", 9600, 8, 0, 2, 8, &missing), PORT_OPEN_FAILED);
}

// A handle of the process that the port layer did not open is never closed or used.
// 256 ports at once, the null device standing for lines; the 257th is refused cleanly.
void PortTableHolds256() {
    static PortHandle handles[257] = {};
    int opened = 0;
    while (opened < 257 && OpenPort("NUL", 9600, 8, 0, 2, 8, &handles[opened]) == PORT_OK) {
        ++opened;
    }
    CHECK_EQ(opened, 256);
    for (int i = 0; i < opened; ++i) {
        CHECK_EQ(ClosePort(handles[i]), PORT_OK);
    }
    PortHandle again = 0;
    CHECK_EQ(OpenPort("NUL", 9600, 8, 0, 2, 8, &again), PORT_OK);
    CHECK_EQ(ClosePort(again), PORT_OK);
}

void ForeignHandles() {
    char path[MAX_PATH];
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    GetTempFileNameA(directory, "vpi", 0, path);
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    const auto foreign = static_cast<PortHandle>(reinterpret_cast<uintptr_t>(file));
    const uint8_t byte = 0x55;
    uint32_t count = 0;
    CHECK_EQ(ClosePort(foreign), PORT_IO_FAILED);
    CHECK_EQ(PortWrite(foreign, &byte, 1, &count), PORT_IO_FAILED);
    CHECK_EQ(SetReadTimeout(foreign, 5), 0);
    CHECK_EQ(ClosePort(0), PORT_IO_FAILED);
    DWORD put = 0;
    CHECK(WriteFile(file, &byte, 1, &put, nullptr) && put == 1);
    CloseHandle(file);
    DeleteFileA(path);
}

void Drain(PortHandle handle) {
    SetReadTimeout(handle, 5);
    uint8_t scratch[64];
    uint32_t got = 0;
    while (PortRead(handle, scratch, sizeof scratch, &got) == PORT_OK) {
    }
}

void LineAndTimeouts(const char *port) {
    PortHandle handle = 0;
    CHECK_EQ(OpenPort(port, 9600, 8, 0, 2, 8, &handle), PORT_OK);
    if (handle == 0) {
        return;
    }
    CHECK(PortOpenedAs(handle, port));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    CHECK(GetCommState(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), &dcb));
    CHECK_EQ(dcb.BaudRate, 9600);
    CHECK_EQ(dcb.ByteSize, 8);
    CHECK_EQ(dcb.fOutxCtsFlow, 0);
    CHECK_EQ(dcb.fOutX, 0);
    CHECK_EQ(dcb.fInX, 0);
    // DTR and RTS are not checked here: Wine derives them from the modem lines, which a
    // pseudo-terminal does not have.

    // The open leaves a one-second read limit; a repeated value is reported back.
    CHECK_EQ(SetReadTimeout(handle, 5), 100);
    CHECK_EQ(SetReadTimeout(handle, 5), 5);

    // The exclusive open (share mode 0) is not checked: Wine does not apply share modes
    // to serial devices.

    Drain(handle);
    uint8_t in[2] = {};
    uint32_t got = 0;
    const uint8_t one[] = {0x41};
    uint32_t written = 0;
    CHECK_EQ(SetReadTimeout(handle, 30), 5);
    CHECK_EQ(PortWrite(handle, one, 1, &written), PORT_OK);
    ULONGLONG start = Now();
    CHECK_EQ(PortRead(handle, in, 2, &got), PORT_IO_FAILED);
    const ULONGLONG oneByteMs = Now() - start;
    CHECK_EQ(got, 1u);
    CHECK_EQ(in[0], 0x41);
    // A partial read costs its whole window, and the empty second read another.
    CHECK(oneByteMs >= 550 && oneByteMs < 2000);

    const uint8_t late[] = {0x42, kDelayed400Ms};
    CHECK_EQ(PortWrite(handle, late, 2, &written), PORT_OK);
    start = Now();
    CHECK_EQ(PortRead(handle, in, 2, &got), PORT_OK);
    CHECK_EQ(got, 2u);
    CHECK(in[0] == 0x42 && in[1] == kDelayed400Ms);
    CHECK(Now() - start < 1000);

    // A limit of 0, or below, returns at once rather than waiting for the count.
    for (const int32_t timeout : {0, -5}) {
        SetReadTimeout(handle, timeout);
        start = Now();
        CHECK_EQ(PortRead(handle, in, 1, &got), PORT_IO_FAILED);
        CHECK(Now() - start < 300);
    }
    // The longest limit is kept without wrapping through 32 bits.
    SetReadTimeout(handle, INT_MAX);
    CHECK_EQ(SetReadTimeout(handle, 5), static_cast<int32_t>((MAXDWORD - 1) / 10));

    const uint8_t burst[] = {1, 2, 3, 4, 5};
    CHECK_EQ(PortWrite(handle, burst, sizeof burst, &written), PORT_OK);
    Sleep(150);
    CHECK_EQ(FlushPort(handle), 0);
    CHECK_EQ(SetReadTimeout(handle, 10), 5); // the flush put the previous limit back
    CHECK_EQ(PortRead(handle, in, 1, &got), PORT_IO_FAILED);
    CHECK_EQ(got, 0u);

    // The send of the instance layer throws away the stale echo before it writes.
    VpiContext context{};
    context.port = handle;
    context.timeout = 20;
    CHECK_EQ(PortWrite(handle, burst, sizeof burst, &written), PORT_OK);
    Sleep(150);
    const uint8_t fresh[] = {0x43};
    CHECK_EQ(SendBytes(&context, fresh, 1), 1);
    CHECK_EQ(ReceiveBytes(&context, in, 1), 1);
    CHECK_EQ(in[0], 0x43);
    CHECK_EQ(SetReadTimeout(handle, 5), 20);

    CHECK_EQ(ClosePort(handle), PORT_OK);
    // Released: the line opens again.
    CHECK_EQ(OpenPort(port, 9600, 8, 0, 0, 8, &handle), PORT_OK);
    CHECK_EQ(ClosePort(handle), PORT_OK);
}

// A far end that never reads: once the line's queue is full, a write ends within its bytes'
// line time plus the read timeout instead of waiting for good (1 ms a character at 57600).
void LineThatStopsDraining(const char *port) {
    PortHandle handle = 0;
    CHECK_EQ(OpenPort(port, 57600, 8, 0, 0, 8, &handle), PORT_OK);
    CHECK_EQ(SetReadTimeout(handle, 5), 100);
    COMMTIMEOUTS timeouts{};
    CHECK(GetCommTimeouts(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), &timeouts));
    CHECK_EQ(timeouts.WriteTotalTimeoutMultiplier, 1u);
    CHECK_EQ(timeouts.WriteTotalTimeoutConstant, 50u);
    static uint8_t block[1024] = {};
    int32_t result = PORT_OK;
    ULONGLONG lastWriteMs = 0;
    for (int i = 0; i < 1024 && result == PORT_OK; ++i) {
        uint32_t written = 0;
        const ULONGLONG start = Now();
        result = PortWrite(handle, block, sizeof block, &written);
        lastWriteMs = Now() - start;
    }
    CHECK(result == PORT_SHORT_WRITE || result == PORT_IO_FAILED);
    CHECK(lastWriteMs < 5000); // bound 1074 ms
    CHECK_EQ(ClosePort(handle), PORT_OK);
}

// A read of "what has come": the first byte, then what is queued, never more than asked.
void ReadSome(const char *port) {
    PortHandle handle = 0;
    CHECK_EQ(OpenPort(port, 9600, 8, 0, 0, 8, &handle), PORT_OK);
    CHECK_EQ(SetReadTimeout(handle, 50), 100);
    const uint8_t three[] = {0x51, 0x52, 0x53};
    uint32_t count = 0;
    CHECK_EQ(PortWrite(handle, three, 3, &count), PORT_OK);
    Sleep(150);
    uint8_t in[3] = {};
    CHECK_EQ(PortReadSome(handle, in, 2, &count), PORT_OK);
    CHECK(count == 2 && in[0] == 0x51 && in[1] == 0x52);
    CHECK_EQ(PortReadSome(handle, in, 3, &count), PORT_OK);
    CHECK(count == 1 && in[0] == 0x53);
    SetReadTimeout(handle, 5);
    CHECK_EQ(PortReadSome(handle, in, 3, &count), PORT_IO_FAILED);
    CHECK_EQ(count, 0u);
    CHECK_EQ(ClosePort(handle), PORT_OK);
}

} // namespace

int main(int argc, char **argv) {
    NullDeviceAndNames();
    PortTableHolds256();
    ForeignHandles();
    if (argc > 1) {
        LineAndTimeouts(argv[1]);
        ReadSome(argv[1]);
    }
    if (argc > 2) {
        LineThatStopsDraining(argv[2]);
    }
    return wintest::Finish("vpisd-porttest");
}
