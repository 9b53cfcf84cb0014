/* vpisd: SquareD SY/MAX serial driver, host interface.
 *
 * The host loads the library, resolves VpiMain and calls it with one VpiRequest per
 * service. All records are owned by the host; the driver reads them (and fills the
 * output fields) only during the call. Layouts follow the 32-bit host ABI; on a
 * 64-bit build pointers widen and later members move only by natural alignment.
 *
 * Threads: different VPIs (each with its own VpiContext and its own port) may run
 * commands on different threads at the same time; describe may run at any time. One
 * VPI takes one command at a time: the host must not call a second command for the
 * same VpiContext before the first has returned. The driver starts no threads; every
 * call runs on the caller's thread and returns within its bounds (reads and writes
 * time out, a line that stops draining ends the call with VPI_COMM_FAILURE). */
#ifndef VPISD_VPI_H
#define VPISD_VPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes of VpiRequest.command. Pairs (5,6), (7,10), (11,12) run one routine. */
enum VpiCommand {
    VPI_START = 1,
    VPI_WARM_START = 2,
    VPI_SINGLE_PARSE = 3,
    VPI_BLOCK_PARSE = 4,
    VPI_READ_ALIAS = 5,
    VPI_READ = 6,
    VPI_WRITE_ALIAS = 7,
    VPI_WRITE = 10,
    VPI_CLOSE_ALIAS = 11,
    VPI_CLOSE = 12,
    VPI_OPEN = 13,
    VPI_DESCRIBE = 14,
    VPI_REOPEN = 15
};

/* Log levels passed to the host's logger: protocol traces and operator events. */
enum VpiLogLevel { VPI_LOG_DEBUG = 8, VPI_LOG_EVENT = 32 };

/* Results. Commands return 0 on success. */
enum VpiResult {
    VPI_OK = 0,
    VPI_REFUSED = 1,         /* parse rejected; read/write: a reply came but was refused */
    VPI_COMM_FAILURE = 2,    /* port cannot be opened/closed; read/write: no answer */
    VPI_BAD_REQUEST = -1     /* code without a routine, or a NULL request: nothing done */
};

/* Address kinds written by the parse commands. */
enum VpiAddressKind { VPI_KIND_ROUTE = 1000, VPI_KIND_REGISTER = 2000, VPI_KIND_REGISTER_PAIR = 3000 };

typedef struct VpiContext VpiContext; /* opaque to the host: allocate contextSize bytes */

typedef struct VpiRequest {
    VpiContext *context; /* 0x00 */
    int32_t command;     /* 0x04 */
    int32_t vpiNumber;   /* 0x08 */
    int32_t reserved0c;  /* 0x0c, not read */
    void *data;          /* 0x10 */
} VpiRequest;

typedef struct DriverInfo {
    int32_t driverCode;  /* 0x00 */
    const char *name;    /* 0x04 */
    const char *banner;  /* 0x08 */
    int32_t contextSize; /* 0x0c */
    int32_t hostParamA;  /* 0x10 */
    uint16_t baudRate;   /* 0x14 */
    uint16_t dataBits;   /* 0x16 */
    uint16_t stopBits;   /* 0x18: 0 one, 1 one and a half, 2 two */
    uint16_t parity;     /* 0x1a: 0 none, 1 odd, 2 even, 3 mark, 4 space */
    int32_t hostParamB;  /* 0x1c */
} DriverInfo;

typedef struct StartParams {
    char portName[12];   /* 0x00 */
    int32_t portEnabled; /* 0x0c */
    int32_t timeout;     /* 0x10, units of 10 ms */
    uint16_t baudRate;   /* 0x14 */
    uint16_t dataBits;   /* 0x16 */
    uint16_t stopBits;   /* 0x18 */
    uint16_t parity;     /* 0x1a */
} StartParams;

typedef struct ReopenParams {
    char portName[12]; /* 0x00 */
    int32_t timeout;   /* 0x0c, units of 10 ms; 0 keeps the current one */
    uint16_t baudRate; /* 0x10 */
    uint16_t dataBits; /* 0x12 */
    uint16_t stopBits; /* 0x14 */
    uint16_t parity;   /* 0x16 */
} ReopenParams;

typedef struct TagDescriptor {
    const char *gas;    /* 0x00 in */
    int32_t reserved04; /* 0x04 */
    int32_t type;       /* 0x08 in */
    int32_t count;      /* 0x0c in, block parse only */
    int32_t slot;       /* 0x10 out */
    int32_t kind;       /* 0x14 out */
    int32_t address;    /* 0x18 out */
    int32_t bit;        /* 0x1c out */
    int32_t width;      /* 0x20 out */
} TagDescriptor;

typedef struct TagAccess {
    const char *gas;    /* 0x00 */
    int32_t reserved04; /* 0x04 */
    int32_t slot;       /* 0x08 */
    int32_t kind;       /* 0x0c */
    int32_t address;    /* 0x10 */
    int32_t bit;        /* 0x14 */
    int32_t reserved18; /* 0x18 */
    int32_t type;       /* 0x1c, 6 marks a bit tag */
    int32_t count;      /* 0x20 */
    int32_t reserved24; /* 0x24 */
    uint16_t *values;   /* 0x28 */
} TagAccess;

/* The library's only export. Returns the routine's result; VPI_BAD_REQUEST for a NULL
 * request or a code without a routine (0, 8, 9, 16 and above, negative). */
#if defined(_WIN32)
#define VPISD_EXPORT __declspec(dllexport)
#else
#define VPISD_EXPORT __attribute__((visibility("default")))
#endif
#if defined(__cplusplus)
#define VPISD_NOEXCEPT noexcept
#else
#define VPISD_NOEXCEPT
#endif
VPISD_EXPORT int32_t VpiMain(const VpiRequest *request) VPISD_NOEXCEPT;

/* POSIX hosts provide this logger in their global symbol scope (exported from the
 * executable or from a library loaded RTLD_GLOBAL). Without it messages go to stderr. */
typedef void (*VpiHostLogFn)(int32_t level, const char *format, ...);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#include <cstddef>
#define VPISD_STATIC_ASSERT static_assert
#else
#include <stddef.h>
#define VPISD_STATIC_ASSERT _Static_assert
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
VPISD_STATIC_ASSERT(offsetof(VpiRequest, command) == 0x04, "VpiRequest.command");
VPISD_STATIC_ASSERT(offsetof(VpiRequest, vpiNumber) == 0x08, "VpiRequest.vpiNumber");
VPISD_STATIC_ASSERT(offsetof(VpiRequest, data) == 0x10, "VpiRequest.data");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, name) == 0x04, "DriverInfo.name");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, banner) == 0x08, "DriverInfo.banner");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, contextSize) == 0x0c, "DriverInfo.contextSize");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, hostParamA) == 0x10, "DriverInfo.hostParamA");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, baudRate) == 0x14, "DriverInfo.baudRate");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, dataBits) == 0x16, "DriverInfo.dataBits");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, stopBits) == 0x18, "DriverInfo.stopBits");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, parity) == 0x1a, "DriverInfo.parity");
VPISD_STATIC_ASSERT(offsetof(DriverInfo, hostParamB) == 0x1c, "DriverInfo.hostParamB");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, type) == 0x08, "TagDescriptor.type");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, count) == 0x0c, "TagDescriptor.count");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, slot) == 0x10, "TagDescriptor.slot");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, kind) == 0x14, "TagDescriptor.kind");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, address) == 0x18, "TagDescriptor.address");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, bit) == 0x1c, "TagDescriptor.bit");
VPISD_STATIC_ASSERT(offsetof(TagDescriptor, width) == 0x20, "TagDescriptor.width");
VPISD_STATIC_ASSERT(offsetof(TagAccess, slot) == 0x08, "TagAccess.slot");
VPISD_STATIC_ASSERT(offsetof(TagAccess, kind) == 0x0c, "TagAccess.kind");
VPISD_STATIC_ASSERT(offsetof(TagAccess, address) == 0x10, "TagAccess.address");
VPISD_STATIC_ASSERT(offsetof(TagAccess, bit) == 0x14, "TagAccess.bit");
VPISD_STATIC_ASSERT(offsetof(TagAccess, type) == 0x1c, "TagAccess.type");
VPISD_STATIC_ASSERT(offsetof(TagAccess, count) == 0x20, "TagAccess.count");
VPISD_STATIC_ASSERT(offsetof(TagAccess, values) == 0x28, "TagAccess.values");
#endif
/* These two hold the same offsets on every build: they contain no pointers. */
VPISD_STATIC_ASSERT(offsetof(StartParams, portEnabled) == 0x0c, "StartParams.portEnabled");
VPISD_STATIC_ASSERT(offsetof(StartParams, timeout) == 0x10, "StartParams.timeout");
VPISD_STATIC_ASSERT(offsetof(StartParams, baudRate) == 0x14, "StartParams.baudRate");
VPISD_STATIC_ASSERT(offsetof(StartParams, parity) == 0x1a, "StartParams.parity");
VPISD_STATIC_ASSERT(sizeof(StartParams) == 0x1c, "StartParams size");
VPISD_STATIC_ASSERT(offsetof(ReopenParams, timeout) == 0x0c, "ReopenParams.timeout");
VPISD_STATIC_ASSERT(offsetof(ReopenParams, baudRate) == 0x10, "ReopenParams.baudRate");
VPISD_STATIC_ASSERT(offsetof(ReopenParams, parity) == 0x16, "ReopenParams.parity");
VPISD_STATIC_ASSERT(sizeof(ReopenParams) == 0x18, "ReopenParams size");
#undef VPISD_STATIC_ASSERT
#endif

#endif /* VPISD_VPI_H */
