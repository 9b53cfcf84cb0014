// Opening, configuring and closing a serial device with the Win32 communications calls.
#include "serial/port.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "serial/port_table_win32.h"

namespace vpisd {
namespace {

constexpr char kNullPortName[] = "NUL"; // case-sensitive: "nul" is configured like a line
constexpr DWORD kDcbLength = 28;        // the 32-bit DCB; set before the state is read
constexpr BYTE kErrorChar = 0xFC;       // stored, but replacement stays off

// lineFlags bits that select the DTR and RTS modes.
constexpr uint16_t kDtrEnable = 0x0101;
constexpr uint16_t kDtrHandshake = 0x8000;
constexpr uint16_t kRtsEnable = 0x0202;
constexpr uint16_t kRtsHandshake = 0x1000;
constexpr uint16_t kRtsToggle = 0x2000;

static_assert(sizeof(DCB) == kDcbLength);

DWORD DtrControl(uint16_t lineFlags) {
    if ((lineFlags & kDtrEnable) != 0) {
        return DTR_CONTROL_ENABLE;
    }
    if ((lineFlags & kDtrHandshake) != 0) {
        return DTR_CONTROL_HANDSHAKE;
    }
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(uint16_t lineFlags) {
    if ((lineFlags & kRtsEnable) != 0) {
        return RTS_CONTROL_ENABLE;
    }
    if ((lineFlags & kRtsHandshake) != 0) {
        return RTS_CONTROL_HANDSHAKE;
    }
    if ((lineFlags & kRtsToggle) != 0) {
        return RTS_CONTROL_TOGGLE;
    }
    return RTS_CONTROL_DISABLE;
}

// Raw 8-bit transfer with parity checked on input, no flow control of any kind, zero
// bytes kept; XON/XOFF limits and characters, EofChar and EvtChar stay as read.
void SetLine(DCB *dcb, uint16_t baudRate, uint16_t dataBits, uint16_t stopBits, uint16_t parity,
             uint16_t lineFlags) {
    dcb->BaudRate = baudRate;
    dcb->ByteSize = static_cast<BYTE>(dataBits & 0xFF);
    dcb->Parity = static_cast<BYTE>(parity & 0xFF);
    dcb->StopBits = static_cast<BYTE>(stopBits & 0xFF);
    dcb->fBinary = 1;
    dcb->fParity = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DtrControl(lineFlags) & 0x3;
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RtsControl(lineFlags) & 0x3;
    dcb->fAbortOnError = 0;
    dcb->ErrorChar = static_cast<char>(kErrorChar);
}

// Milliseconds one character takes on the line (start, data, parity and stop bits; one and a
// half stop bits counted as two), rounded up so that a write is never cut short by rounding.
DWORD CharTimeMs(uint16_t baudRate, uint16_t dataBits, uint16_t stopBits, uint16_t parity) {
    const DWORD bits = 1u + (dataBits & 0xFFu) + ((parity & 0xFFu) != NOPARITY ? 1u : 0u) +
                       ((stopBits & 0xFFu) == ONESTOPBIT ? 1u : 2u);
    return baudRate == 0 ? 0 : (bits * 1000u + baudRate - 1u) / baudRate;
}

// False when the name is empty or has no terminator within the 12 bytes of a port name.
bool UsablePortName(const char *name) {
    const void *end = std::memchr(name, '\0', kPortNameBytes);
    return end != nullptr && name[0] != '\0';
}

} // namespace

int32_t OpenPort(const char *name, uint16_t baudRate, uint16_t dataBits, uint16_t stopBits,
                 uint16_t parity, uint16_t lineFlags, PortHandle *handle) {
    if (name == nullptr || handle == nullptr || !UsablePortName(name)) {
        return PORT_OPEN_FAILED;
    }
    size_t entry = 0;
    if (!ReservePortEntry(&entry)) {
        return PORT_OPEN_FAILED;
    }
    // Share mode 0: no other opener, in this process or another, while the line is ours.
    const HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) {
        ReleasePortEntry(entry);
        return PORT_OPEN_FAILED;
    }
    int32_t result = PORT_OK;
    if (std::strcmp(name, kNullPortName) != 0) {
        DCB dcb{};
        dcb.DCBlength = kDcbLength;
        // Writes are bounded, a deliberate choice of vpisd: the time the bytes need at the
        // line's speed plus the read timeout (SetReadTimeout keeps the two together), so a
        // line that stops draining cannot hold the caller for good.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kOpenReadTimeoutMs);
        timeouts.WriteTotalTimeoutMultiplier = CharTimeMs(baudRate, dataBits, stopBits, parity);
        timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kOpenReadTimeoutMs);
        if (!GetCommState(device, &dcb)) {
            result = PORT_GET_STATE_FAILED;
        } else if (!SetCommTimeouts(device, &timeouts)) {
            result = PORT_OPEN_FAILED;
        } else {
            SetLine(&dcb, baudRate, dataBits, stopBits, parity, lineFlags);
            if (!SetCommState(device, &dcb)) {
                result = PORT_SET_STATE_FAILED;
            } else {
                SetupComm(device, kPortQueueBytes, kPortQueueBytes);
            }
        }
    }
    if (result != PORT_OK) {
        CloseHandle(device);
        ReleasePortEntry(entry);
        return result;
    }
    CommitPortEntry(entry, ToPortHandle(device), name);
    *handle = ToPortHandle(device);
    return PORT_OK;
}

bool PortOpenedAs(PortHandle handle, const char *name) {
    char opened[kPortNameBytes];
    return name != nullptr && FindPortEntry(handle, &opened) &&
           std::strncmp(opened, name, sizeof opened) == 0;
}

// A handle this library did not open is refused rather than closed: it may belong to
// anything else in the host process.
int32_t ClosePort(PortHandle handle) {
    if (!FindPortEntry(handle, nullptr)) {
        return PORT_IO_FAILED;
    }
    if (!CloseHandle(ToWin32Handle(handle))) {
        return PORT_IO_FAILED;
    }
    TakePortEntry(handle);
    return PORT_OK;
}

} // namespace vpisd
