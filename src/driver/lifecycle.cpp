#include "driver/lifecycle.h"

#include <cstring>

#include "driver/describe.h"
#include "driver/log.h"
#include "routing/init_file.h"
#include "serial/instance_io.h"
#include "serial/port.h"

namespace vpisd {
namespace {

// A host's port name need not end within its 12 bytes: keep at most 11 characters.
void CopyPortName(char (&destination)[kPortNameBytes], const char *source) {
    std::size_t length = 0;
    while (length < kPortNameBytes - 1 && source[length] != '\0') {
        destination[length] = source[length];
        ++length;
    }
    std::memset(destination + length, 0, kPortNameBytes - length);
}

bool MissingRecords(const VpiRequest *request, bool needsData, const char *command) {
    if (request != nullptr && request->context != nullptr &&
        (!needsData || request->data != nullptr)) {
        return false;
    }
    Log(LOG_EVENT, "VPISD: %s called without its instance or data, nothing done", command);
    return true;
}

// Stores a newly opened handle. An open over an open port succeeds on devices that admit
// a second open ("NUL"); the handle it replaces is then closed rather than leaked.
void StorePort(VpiContext *context, PortHandle handle, bool closeReplaced) {
    const PortHandle replaced = context->port;
    context->port = handle;
    if (closeReplaced && replaced != 0 && replaced != handle) {
        ClosePort(replaced);
    }
}

void ClearLinkState(VpiContext *context) {
    std::memset(context->connected, 0, sizeof context->connected);
    std::memset(context->sequence, 0, sizeof context->sequence);
}

} // namespace

PortHandle OpenInstancePort(const PortSettings &settings) {
    char name[kPortNameBytes];
    CopyPortName(name, settings.portName);
    PortHandle handle = 0;
    if (OpenPort(name, settings.baudRate, settings.dataBits, settings.stopBits, settings.parity,
                 settings.lineFlags, &handle) != PORT_OK) {
        return 0;
    }
    return handle;
}

int32_t VpiStart(const VpiRequest *request) {
    if (MissingRecords(request, true, "VpiStart")) {
        return VPI_BAD_REQUEST;
    }
    VpiContext *context = request->context;
    const auto *params = static_cast<const StartParams *>(request->data);

    std::memset(context->routes, 0, sizeof context->routes);
    LoadInitFile(request);

    context->portEnabled = params->portEnabled;
    if (params->portEnabled == 0) {
        return VPI_OK;
    }
    PortSettings settings{};
    CopyPortName(settings.portName, params->portName);
    settings.baudRate = params->baudRate;
    settings.dataBits = params->dataBits;
    settings.stopBits = params->stopBits;
    settings.parity = params->parity;
    settings.lineFlags = kStartLineFlags;

    const PortHandle handle = OpenInstancePort(settings);
    if (handle == 0) {
        Log(LOG_EVENT, "VPI%s : Fail to open %s", kDriverName, settings.portName);
        return VPI_COMM_FAILURE;
    }
    // Before the first start `port` holds whatever the host's memory held, possibly a
    // value that names another instance's port: the replaced handle is trusted, and
    // closed, only when it is open under the name the instance's settings hold.
    StorePort(context, handle, PortOpenedAs(context->port, context->portSettings.portName));
    context->timeout = params->timeout < kMinStartTimeout ? kMinStartTimeout : params->timeout;
    SetReadTimeout(context->port, context->timeout);
    context->portSettings = settings;

    ClearLinkState(context);
    for (int slot = 1; slot < kSlotCount; ++slot) {
        context->useBackup[slot] = 0;
    }
    context->vpiNumber = static_cast<uint16_t>(request->vpiNumber & 0xFFFF);
    Log(LOG_EVENT, "VPISD: VPI %d loaded successfully", static_cast<int>(context->vpiNumber));
    return VPI_OK;
}

int32_t VpiWarmStart(const VpiRequest *request) {
    if (MissingRecords(request, false, "VpiWarmStart")) {
        return VPI_BAD_REQUEST;
    }
    VpiContext *context = request->context;
    if (context->port != 0) {
        PurgeInput(context);
    }
    ClearLinkState(context);
    Log(LOG_EVENT, "VPISD: Warm Start VPI %d", static_cast<int>(context->vpiNumber));
    return VPI_OK;
}

int32_t VpiClose(const VpiRequest *request) {
    if (MissingRecords(request, false, "VpiClose")) {
        return VPI_BAD_REQUEST;
    }
    VpiContext *context = request->context;
    if (context->port == 0) {
        return VPI_OK;
    }
    if (ClosePort(context->port) != PORT_OK) {
        return VPI_COMM_FAILURE;
    }
    context->port = 0;
    return VPI_OK;
}

int32_t VpiOpen(const VpiRequest *request) {
    if (MissingRecords(request, false, "VpiOpen")) {
        return VPI_BAD_REQUEST;
    }
    VpiContext *context = request->context;
    const PortHandle handle = OpenInstancePort(context->portSettings);
    if (handle == 0) {
        return VPI_COMM_FAILURE;
    }
    context->portEnabled = 1;
    StorePort(context, handle, true);
    return VPI_OK;
}

// The open port is closed first whether or not the name changes: an exclusive device
// could not otherwise be reopened under its own name with new settings.
int32_t VpiReopen(const VpiRequest *request) {
    if (MissingRecords(request, true, "VpiReopen")) {
        return VPI_BAD_REQUEST;
    }
    VpiContext *context = request->context;
    const auto *params = static_cast<const ReopenParams *>(request->data);

    // 0 keeps the instance's timeout; so does a negative one, which no port could take.
    if (params->timeout > 0) {
        context->timeout = params->timeout;
    }
    if (context->port != 0) {
        VpiClose(request);
    }
    CopyPortName(context->portSettings.portName, params->portName);
    context->portSettings.baudRate = params->baudRate;
    context->portSettings.dataBits = params->dataBits;
    context->portSettings.stopBits = params->stopBits;
    context->portSettings.parity = params->parity;

    const PortHandle handle = OpenInstancePort(context->portSettings);
    if (handle == 0) {
        return VPI_COMM_FAILURE;
    }
    StorePort(context, handle, true);
    return VPI_OK;
}

} // namespace vpisd
