// The init file: arbitrary bytes loaded as an init file's text from memory into a table
// cleared as start clears it, then every slot read back. One choice byte of 256 also sends
// them through a real file and a start that asks for no port, which must give that table.
// Input: one byte that picks the VPI number (and the file check), then the file's bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "driver/context.h"
#include "driver/lifecycle.h"
#include "fuzz_support.h"
#include "routing/init_file.h"
#include "routing/route_table.h"

using namespace vpisd;
using vpisd::fuzz::Guarded;

namespace {

struct NameChoice {
    const char *fileName;
    int32_t vpiNumber;
};
// The VPI's own file (also with a negative and a long number) and the older shared name.
constexpr NameChoice kNames[] = {
    {"vpiSD07.int", 7}, {"vpiSD.int", 7}, {"vpiSD-03.int", -3}, {"vpiSD123456.int", 123456}};
constexpr uint8_t kFileCheck = 0xFF; // this choice byte also loads through a file

std::string tempDirectory;

void RemoveFiles() {
    for (const NameChoice &name : kNames) {
        unlink(name.fileName);
    }
}

void RemoveTempDirectory() {
    RemoveFiles();
    if (!tempDirectory.empty() && chdir("/") == 0) {
        rmdir(tempDirectory.c_str());
    }
}

FUZZ_UNTRACED bool IsHexCharacter(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

FUZZ_UNTRACED bool IsKeptCharacter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '=' || c == ',';
}

// A slot as it is stored: empty and all zero, or a name of kept characters, drops, and
// nothing but zeros after the first zero byte that follows the name.
FUZZ_UNTRACED void CheckStoredSlot(const uint8_t *slot) {
    if (slot[0] == 0) {
        for (int i = 0; i < kRouteSlotBytes; ++i) {
            FUZZ_CHECK(slot[i] == 0);
        }
        return;
    }
    FUZZ_CHECK(IsKeptCharacter(slot[0]));
    FUZZ_CHECK(slot[1] == 0 || IsKeptCharacter(slot[1]));
    int i = 2;
    while (i < kRouteSlotBytes && slot[i] != 0) {
        ++i;
    }
    for (; i < kRouteSlotBytes; ++i) {
        FUZZ_CHECK(slot[i] == 0);
    }
}

struct EncodedRoute {
    int length;
    uint8_t text[kRouteTextBytes];
};

FUZZ_UNTRACED EncodedRoute Encode(VpiContext *context, int slot, int32_t flag) {
    context->useBackup[slot] = flag;
    Guarded<uint8_t[kRouteTextBytes]> out;
    std::memset(out.value, 0, sizeof out.value);
    const int length = EncodeRoute(context, out.value, slot);
    FUZZ_CHECK(out.GuardsIntact());
    FUZZ_CHECK(length >= 0 && length <= 2 * kMaxDrops && length % 2 == 0);
    for (int i = 0; i < length; i += 2) {
        FUZZ_CHECK(IsHexCharacter(out.value[i]) && IsHexCharacter(out.value[i + 1]));
        // A zero byte ends a part: drop 0 is never sent.
        FUZZ_CHECK(out.value[i] != '0' || out.value[i + 1] != '0');
    }
    for (int i = length; i < kRouteTextBytes; ++i) {
        FUZZ_CHECK(out.value[i] == 0);
    }
    EncodedRoute encoded{length, {}};
    std::memcpy(encoded.text, out.value, sizeof encoded.text);
    return encoded;
}

FUZZ_UNTRACED bool Same(const EncodedRoute &a, const EncodedRoute &b) {
    return a.length == b.length && std::memcmp(a.text, b.text, sizeof a.text) == 0;
}

FUZZ_UNTRACED void CheckRoutes(VpiContext *context) {
    int filled = 0;
    for (int slot = 1; slot < kSlotCount; ++slot) {
        CheckStoredSlot(context->routes[slot]);
        if (context->routes[slot][0] == 0) {
            continue; // a line whose normal route was left out stores nothing
        }
        ++filled;

        const EncodedRoute normal = Encode(context, slot, 0);
        const EncodedRoute backup = Encode(context, slot, 1);
        const EncodedRoute otherFlag = Encode(context, slot, -7);
        FUZZ_CHECK(Same(backup, otherFlag));
        if (HasBackupRoute(context, slot) == 0) {
            FUZZ_CHECK(Same(normal, backup));
        } else {
            FUZZ_CHECK(backup.length > 0);
        }
        // Two switches lead to the other route and back.
        context->useBackup[slot] = 0;
        SwitchRoute(context, slot);
        FUZZ_CHECK((context->useBackup[slot] != 0) == (HasBackupRoute(context, slot) == 1));
        SwitchRoute(context, slot);
        FUZZ_CHECK(context->useBackup[slot] == 0);
    }
    FUZZ_CHECK(HasRoutes(context) == (filled > 0 ? 1 : 0));
    FUZZ_CHECK(filled <= 99);
}

// The start of a VPI without a port, from the same bytes written as its init file: it
// writes only the routes and portEnabled, and its table is the one the text gave.
void CheckFileLoadsAlike(const NameChoice &name, const uint8_t *bytes, size_t size,
                         const VpiContext &fromText) {
    RemoveFiles();
    std::FILE *file = std::fopen(name.fileName, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(bytes, 1, size, file) == size);
    std::fclose(file);

    static Guarded<VpiContext> guarded;
    std::memset(static_cast<void *>(&guarded), fuzz::kGuardByte, sizeof guarded);
    VpiContext &context = guarded.value;
    StartParams params{};
    params.portEnabled = 0;
    VpiRequest request{};
    request.context = &context;
    request.command = VPI_START;
    request.vpiNumber = name.vpiNumber;
    request.data = &params;
    FUZZ_CHECK(VpiStart(&request) == VPI_OK);

    FUZZ_CHECK(guarded.GuardsIntact());
    FUZZ_CHECK(context.portEnabled == 0);
    constexpr size_t kRoutesBegin = offsetof(VpiContext, routes);
    constexpr size_t kRoutesEnd = kRoutesBegin + sizeof context.routes;
    FUZZ_CHECK(fuzz::Untouched(&context, 0, offsetof(VpiContext, portEnabled)));
    FUZZ_CHECK(fuzz::Untouched(&context, offsetof(VpiContext, portEnabled) + 4, kRoutesBegin));
    FUZZ_CHECK(fuzz::Untouched(&context, kRoutesEnd, sizeof context));
    FUZZ_CHECK(std::memcmp(context.routes, fromText.routes, sizeof context.routes) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/vpisd-fuzz-init-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        std::perror("vpisd init-file fuzzer: temporary directory");
        std::exit(1);
    }
    tempDirectory = pattern;
    std::atexit(RemoveTempDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint8_t choice = input.Byte();
    const NameChoice &name = kNames[choice % std::size(kNames)];

    // Every byte of the record starts as the guard pattern; the table is cleared as start
    // clears it, and loading writes nothing but the table.
    static Guarded<VpiContext> guarded;
    std::memset(static_cast<void *>(&guarded), fuzz::kGuardByte, sizeof guarded);
    VpiContext &context = guarded.value;
    std::memset(context.routes, 0, sizeof context.routes);
    const int result = LoadInitText(&context, name.vpiNumber,
                                    reinterpret_cast<const char *>(input.Rest()), input.RestSize());
    FUZZ_CHECK(result == 0 || result == 1);

    FUZZ_CHECK(guarded.GuardsIntact());
    constexpr size_t kRoutesBegin = offsetof(VpiContext, routes);
    constexpr size_t kRoutesEnd = kRoutesBegin + sizeof context.routes;
    FUZZ_CHECK(fuzz::Untouched(&context, 0, kRoutesBegin));
    FUZZ_CHECK(fuzz::Untouched(&context, kRoutesEnd, sizeof context));
    for (int i = 0; i < kRouteSlotBytes; ++i) {
        FUZZ_CHECK(context.routes[0][i] == 0); // slot 0 never holds a route
    }
    if (choice == kFileCheck) {
        CheckFileLoadsAlike(name, input.Rest(), input.RestSize(), context);
    }
    CheckRoutes(&context);
    return 0;
}
