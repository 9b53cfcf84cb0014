// vpisd.dll as a Windows host uses it: loaded with LoadLibrary, VpiMain found by name,
// every record built byte by byte at the offsets of the 32-bit host interface, messages
// taken from the stand-in KORVAL.dll's log file.
// Usage: vpisd-wintest.exe [COMn N=V]
// With a port, a PLC peer on that port must hold register N with value V.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "check.h"

namespace {

using VpiMainFn = int32_t (*)(const void *request);
VpiMainFn gVpiMain = nullptr;

constexpr int32_t kContextSize = 2944;
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kFill = 0xA5; // what a fresh host allocation holds
constexpr char kLogName[] = "korval.log";

// VpiContext fields the host may look at, by byte offset.
constexpr size_t kTimeout = 0x000, kPort = 0x004, kPortEnabled = 0x008, kPortName = 0x00c,
                 kBaudRate = 0x018, kParity = 0x01e, kLineFlags = 0x020, kVpiNumber = 0x022,
                 kRoutes = 0x024, kRouteBytes = 19, kConnected = 0x798, kToggle = 0x928,
                 kSequence = 0x98c, kUseBackup = 0x9f0;

void Put32(uint8_t *record, size_t offset, uint32_t value) {
    std::memcpy(record + offset, &value, 4);
}
void PutPointer(uint8_t *record, size_t offset, const void *pointer) {
    Put32(record, offset, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)));
}
void Put16(uint8_t *record, size_t offset, uint16_t value) {
    std::memcpy(record + offset, &value, 2);
}
uint32_t Get32(const uint8_t *record, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, record + offset, 4);
    return value;
}
int32_t GetInt(const uint8_t *record, size_t offset) {
    return static_cast<int32_t>(Get32(record, offset));
}
uint16_t Get16(const uint8_t *record, size_t offset) {
    uint16_t value = 0;
    std::memcpy(&value, record + offset, 2);
    return value;
}
const char *GetString(const uint8_t *record, size_t offset) {
    return reinterpret_cast<const char *>(static_cast<uintptr_t>(Get32(record, offset)));
}
bool AllBytesAre(const uint8_t *bytes, size_t count, uint8_t value) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != value) {
            return false;
        }
    }
    return true;
}

// One VPI: its context between guard bytes that the driver must never touch.
struct Vpi {
    alignas(8) uint8_t memory[kContextSize + kGuardBytes];
    int32_t number;
    explicit Vpi(int32_t vpiNumber) : number(vpiNumber) {
        std::memset(memory, kFill, sizeof memory);
    }
    uint8_t *context() { return memory; }
    bool GuardIntact() const { return AllBytesAre(memory + kContextSize, kGuardBytes, kFill); }
};

int32_t Call(Vpi *vpi, int32_t command, const void *data) {
    uint8_t request[20];
    std::memset(request, 0xCC, sizeof request); // 0x0c is never read
    PutPointer(request, 0x00, vpi != nullptr ? vpi->context() : nullptr);
    Put32(request, 0x04, static_cast<uint32_t>(command));
    Put32(request, 0x08, static_cast<uint32_t>(vpi != nullptr ? vpi->number : 0));
    PutPointer(request, 0x10, data);
    return gVpiMain(request);
}

std::string ReadLog() {
    std::string text;
    if (FILE *file = std::fopen(kLogName, "rb")) {
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(file);
    }
    return text;
}
void ClearLog() {
    DeleteFileA(kLogName);
}
// One whole "level|message" line.
bool Logged(int level, const std::string &message) {
    const std::string line = std::to_string(level) + "|" + message + "\n";
    const std::string log = "\n" + ReadLog();
    return log.find("\n" + line) != std::string::npos;
}

// The banner as the host's screen shows it, built from its description.
std::string ExpectedBannerFrame() {
    const std::string edge(60, '\xC4');
    std::string banner = "\n";
    banner += "\xDA" + edge + "\xBF\n";
    banner += "\xB3 " + std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') +
              std::string(6, '\xB0') + " V P I S D " + std::string(6, '\xB0') +
              std::string(6, '\xB1') + std::string(6, '\xB2') + std::string(5, '\xDB') + "  \xB3\n";
    banner += "\xB3" + std::string(13, ' ') + "SquareD SY/MAX Driver installed." +
              std::string(15, ' ') + "\xB3\n";
    banner += "\xB3" + std::string(17, ' ') + "SY/MAX Protocol (RS232)." + std::string(19, ' ') +
              "\xB3\n";
    return banner; // line 5's notice is the driver's own; checked by its frame below
}

void Describe() {
    uint8_t info[0x20 + kGuardBytes];
    std::memset(info, kFill, sizeof info);
    CHECK_EQ(Call(nullptr, 14, info), 0);
    CHECK_EQ(GetInt(info, 0x00), 70);
    CHECK(std::strcmp(GetString(info, 0x04), "SquareD") == 0);
    CHECK_EQ(GetInt(info, 0x0c), kContextSize);
    CHECK_EQ(GetInt(info, 0x10), 4);
    CHECK_EQ(Get16(info, 0x14), 9600);
    CHECK_EQ(Get16(info, 0x16), 8);
    CHECK_EQ(Get16(info, 0x18), 0);
    CHECK_EQ(Get16(info, 0x1a), 2);
    CHECK_EQ(GetInt(info, 0x1c), 3);
    CHECK(AllBytesAre(info + 0x20, kGuardBytes, kFill));

    const std::string banner = GetString(info, 0x08);
    CHECK_EQ(banner.size(), 379u);
    const std::string head = ExpectedBannerFrame();
    CHECK(banner.compare(0, head.size(), head) == 0);
    const std::string notice = banner.substr(head.size(), 63);
    CHECK(notice.size() == 63 && notice.front() == '\xB3' && notice.compare(61, 2, "\xB3\n") == 0);
    CHECK(notice.compare(1, 7, std::string(7, ' ')) == 0);
    CHECK(notice.compare(8 + 46, 7, std::string(7, ' ')) == 0);
    CHECK(notice.compare(8 + 46 - 12, 12, "Version 7.04") == 0);
    CHECK(banner.compare(head.size() + 63, std::string::npos,
                         "\xC0" + std::string(60, '\xC4') + "\xD9\n") == 0);

    uint8_t again[0x20];
    CHECK_EQ(Call(nullptr, 14, again), 0);
    CHECK(std::memcmp(info, again, sizeof again) == 0);
}

void CodesWithoutRoutine() {
    Vpi vpi(1);
    ClearLog();
    uint8_t data[64];
    std::memset(data, kFill, sizeof data);
    for (const int32_t code : {0, 8, 9, 16, 17, -1, 1000}) {
        CHECK(Call(&vpi, code, data) != 0);
    }
    CHECK(AllBytesAre(vpi.memory, sizeof vpi.memory, kFill));
    CHECK(AllBytesAre(data, sizeof data, kFill));
    CHECK(ReadLog().empty());
}

int32_t Start(Vpi *vpi, const char *port, int32_t timeout, uint16_t parity) {
    uint8_t params[0x1c] = {};
    std::strncpy(reinterpret_cast<char *>(params), port, 11);
    Put32(params, 0x0c, 1);
    Put32(params, 0x10, static_cast<uint32_t>(timeout));
    Put16(params, 0x14, 9600);
    Put16(params, 0x16, 8);
    Put16(params, 0x18, 0);
    Put16(params, 0x1a, parity);
    return Call(vpi, 1, params);
}

struct Parsed {
    int32_t result, slot, kind, address, bit, width;
    bool guardIntact;
};

Parsed Parse(Vpi *vpi, int32_t command, const char *gas, int32_t type, int32_t count) {
    uint8_t tag[0x24 + kGuardBytes];
    std::memset(tag, kFill, sizeof tag);
    PutPointer(tag, 0x00, gas);
    Put32(tag, 0x08, static_cast<uint32_t>(type));
    Put32(tag, 0x0c, static_cast<uint32_t>(count));
    Parsed parsed{};
    parsed.result = Call(vpi, command, tag);
    parsed.slot = GetInt(tag, 0x10);
    parsed.kind = GetInt(tag, 0x14);
    parsed.address = GetInt(tag, 0x18);
    parsed.bit = GetInt(tag, 0x1c);
    parsed.width = GetInt(tag, 0x20);
    parsed.guardIntact =
        AllBytesAre(tag + 0x24, kGuardBytes, kFill) && Get32(tag, 0x04) == 0xA5A5A5A5u;
    return parsed;
}

// A read or write of a parsed tag; values is the host's buffer of 16-bit words.
int32_t Access(Vpi *vpi, int32_t command, const char *gas, int32_t type, int32_t count,
               uint16_t *values) {
    const Parsed parsed = Parse(vpi, 3, gas, type, count);
    if (!CHECK(parsed.result == 0)) {
        return -100;
    }
    uint8_t tag[0x2c];
    std::memset(tag, 0, sizeof tag);
    PutPointer(tag, 0x00, gas);
    Put32(tag, 0x08, static_cast<uint32_t>(parsed.slot));
    Put32(tag, 0x0c, static_cast<uint32_t>(parsed.kind));
    Put32(tag, 0x10, static_cast<uint32_t>(parsed.address));
    Put32(tag, 0x14, static_cast<uint32_t>(parsed.bit));
    Put32(tag, 0x1c, static_cast<uint32_t>(type));
    Put32(tag, 0x20, static_cast<uint32_t>(count));
    PutPointer(tag, 0x28, values);
    return Call(vpi, command, tag);
}

void StartOnNullDeviceWithInitFile() {
    // CR LF line ends, as an editor on Windows writes them.
    FILE *init = std::fopen("vpiSD07.int", "wb");
    CHECK(init != nullptr);
    if (init == nullptr) {
        return;
    }
    std::fputs("P1=1+5,2+5\r\nP2 = 10 + 255\r\n", init);
    std::fclose(init);

    Vpi vpi(7);
    ClearLog();
    CHECK_EQ(Start(&vpi, "NUL", 5, 2), 0);
    CHECK(Logged(32, "VPISD: VPI 7 loaded successfully"));
    CHECK_EQ(GetInt(vpi.context(), kTimeout), 100);
    CHECK(Get32(vpi.context(), kPort) != 0);
    CHECK_EQ(GetInt(vpi.context(), kPortEnabled), 1);
    CHECK(std::strcmp(reinterpret_cast<const char *>(vpi.context() + kPortName), "NUL") == 0);
    CHECK_EQ(Get16(vpi.context(), kBaudRate), 9600);
    CHECK_EQ(Get16(vpi.context(), kParity), 2);
    CHECK_EQ(Get16(vpi.context(), kLineFlags), 8);
    CHECK_EQ(Get16(vpi.context(), kVpiNumber), 7);
    CHECK(std::memcmp(vpi.context() + kRoutes + kRouteBytes, "P1", 2) == 0);
    CHECK(std::memcmp(vpi.context() + kRoutes + 2 * kRouteBytes, "P2", 2) == 0);
    CHECK(AllBytesAre(vpi.context() + kRoutes + 3 * kRouteBytes, kRouteBytes, 0));
    CHECK_EQ(GetInt(vpi.context(), kUseBackup + 4), 0);
    CHECK_EQ(GetInt(vpi.context(), kConnected), 0);
    CHECK(vpi.GuardIntact());

    Parsed parsed = Parse(&vpi, 3, "p20123", 0, 1);
    CHECK_EQ(parsed.result, 0);
    CHECK(parsed.slot == 2 && parsed.kind == 2000 && parsed.address == 123);
    CHECK(parsed.bit == 255 && parsed.width == 16 && parsed.guardIntact);
    parsed = Parse(&vpi, 3, "P10101F", 3, 1);
    CHECK(parsed.result == 0 && parsed.slot == 1 && parsed.kind == 3000);
    CHECK(parsed.address == 51 && parsed.width == 32);
    parsed = Parse(&vpi, 3, "P1012316", 6, 1);
    CHECK(parsed.result == 0 && parsed.bit == 15);
    ClearLog();
    CHECK_EQ(Parse(&vpi, 3, "P90123", 0, 1).result, 1);
    CHECK(Logged(32, "VPISD: Parse Failed, Invalid Route. GAS=P90123"));
    CHECK_EQ(Parse(&vpi, 4, "P10001", 0, 129).result, 1);
    CHECK_EQ(Parse(&vpi, 4, "P10001", 0, 128).result, 0);

    // "!ROUTE" is answered from the route selection without a line.
    uint16_t values[2] = {0xEEEE, 0xEEEE};
    CHECK_EQ(Access(&vpi, 6, "p1!route", 6, 1, values), 0);
    CHECK(values[0] == 0xEEEE && values[1] == 0);

    // Both close codes: the first closes, the second finds nothing open.
    CHECK_EQ(Call(&vpi, 11, nullptr), 0);
    CHECK_EQ(Get32(vpi.context(), kPort), 0u);
    CHECK_EQ(Call(&vpi, 12, nullptr), 0);
    CHECK(vpi.GuardIntact());
    DeleteFileA("vpiSD07.int");
}

void StartFailures() {
    Vpi lower(3);
    ClearLog();
    CHECK_EQ(Start(&lower, "nul", 100, 2), 2);
    CHECK(Logged(32, "VPISquareD : Fail to open nul"));
    CHECK(Logged(32, "VpiSD : Init File not found, Peer To Peer Mode"));
    CHECK_EQ(Get32(lower.context(), kPort), 0xA5A5A5A5u);

    Vpi missing(4);
    ClearLog();
    CHECK_EQ(Start(&missing, "NOPORT", 100, 2), 2);
    CHECK(Logged(32, "VPISquareD : Fail to open NOPORT"));
}

void ExchangeWithPlc(const char *port, unsigned reg, uint16_t value) {
    char gas[16];
    std::snprintf(gas, sizeof gas, "00%04u", reg);
    char block[16];
    std::snprintf(block, sizeof block, "00%04u", reg + 1);
    char bitTag[16];
    std::snprintf(bitTag, sizeof bitTag, "00%04u03", reg + 2);
    char third[16];
    std::snprintf(third, sizeof third, "00%04u", reg + 2);

    Vpi vpi(8);
    ClearLog();
    CHECK_EQ(Start(&vpi, port, 100, 2), 0);
    CHECK(Logged(32, "VPISD: VPI 8 loaded successfully"));

    uint16_t values[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    CHECK_EQ(Access(&vpi, 6, gas, 0, 1, values), 0);
    CHECK_EQ(values[1], value);
    CHECK_EQ(values[0], 0xEEEE);
    CHECK(Logged(32, "VPISD: VPI 8 PLC 0 connected sucessfully"));
    CHECK(Logged(8, "VPISD:ReadAckResponse() ACK received OK"));
    CHECK_EQ(GetInt(vpi.context(), kConnected), 1);
    CHECK_EQ(vpi.context()[kToggle], 0x12);
    CHECK_EQ(vpi.context()[kSequence], 1);

    // Words holding DLE and ETX bytes travel doubled and come back whole.
    uint16_t written[3] = {0x1003, 0x1010, 0x0310};
    CHECK_EQ(Access(&vpi, 10, block, 0, 3, written), 0);
    uint16_t back[3] = {};
    CHECK_EQ(Access(&vpi, 5, block, 0, 3, back), 0);
    CHECK(back[0] == written[0] && back[1] == written[1] && back[2] == written[2]);
    CHECK_EQ(vpi.context()[kSequence], 3);

    // Bit 03 of the third register: set through a bit write, seen by a bit read and in
    // the register.
    uint16_t bit[2] = {0, 1};
    CHECK_EQ(Access(&vpi, 7, bitTag, 6, 1, bit), 0);
    uint16_t bitBack[2] = {0xEEEE, 0xEEEE};
    CHECK_EQ(Access(&vpi, 6, bitTag, 6, 1, bitBack), 0);
    CHECK_EQ(bitBack[1], 1);
    uint16_t word[2] = {};
    CHECK_EQ(Access(&vpi, 6, third, 0, 1, word), 0);
    CHECK_EQ(word[1], written[1] | 0x0004);

    // Warm start forgets the link; the next read establishes it again.
    ClearLog();
    CHECK_EQ(Call(&vpi, 2, nullptr), 0);
    CHECK(Logged(32, "VPISD: Warm Start VPI 8"));
    CHECK_EQ(GetInt(vpi.context(), kConnected), 0);
    CHECK_EQ(vpi.context()[kSequence], 0);
    CHECK_EQ(Access(&vpi, 6, gas, 0, 1, values), 0);
    CHECK_EQ(values[1], value);
    CHECK(Logged(32, "VPISD: VPI 8 Establishing link to PLC 0"));

    // Closed and reopened (without parity: a pseudo-terminal cannot hold it, and the
    // second setup of the same line would find that out).
    CHECK_EQ(Call(&vpi, 12, nullptr), 0);
    CHECK_EQ(Get32(vpi.context(), kPort), 0u);
    uint8_t reopen[0x18] = {};
    std::strncpy(reinterpret_cast<char *>(reopen), port, 11);
    Put32(reopen, 0x0c, 0);
    Put16(reopen, 0x10, 9600);
    Put16(reopen, 0x12, 8);
    Put16(reopen, 0x14, 0);
    Put16(reopen, 0x16, 0);
    CHECK_EQ(Call(&vpi, 15, reopen), 0);
    CHECK(Get32(vpi.context(), kPort) != 0);
    CHECK_EQ(GetInt(vpi.context(), kTimeout), 100);
    CHECK_EQ(Access(&vpi, 6, gas, 0, 1, values), 0);
    CHECK_EQ(values[1], value);
    CHECK_EQ(Call(&vpi, 11, nullptr), 0);
    CHECK(vpi.GuardIntact());
}

} // namespace

int main(int argc, char **argv) {
    char logPath[MAX_PATH];
    GetFullPathNameA(kLogName, sizeof logPath, logPath, nullptr);
    SetEnvironmentVariableA("VPISD_KORVAL_LOG", logPath);
    DeleteFileA("vpiSD.int");

    const HMODULE library = LoadLibraryA("vpisd.dll");
    CHECK(library != nullptr);
    if (library == nullptr) {
        return wintest::Finish("vpisd-wintest");
    }
    gVpiMain =
        reinterpret_cast<VpiMainFn>(reinterpret_cast<void *>(GetProcAddress(library, "VpiMain")));
    CHECK(gVpiMain != nullptr);
    if (gVpiMain != nullptr) {
        Describe();
        CodesWithoutRoutine();
        StartOnNullDeviceWithInitFile();
        StartFailures();
        unsigned reg = 0;
        int value = 0;
        if (argc > 2 && std::sscanf(argv[2], "%u=%i", &reg, &value) == 2) {
            ExchangeWithPlc(argv[1], reg, static_cast<uint16_t>(value));
        }
    }
    FreeLibrary(library);
    ClearLog();
    return wintest::Finish("vpisd-wintest");
}
