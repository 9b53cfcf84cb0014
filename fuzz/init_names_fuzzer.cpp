// check-init against the driver: for any init file, the PLC names that the checker accepts
// (InitCheck::PlcNames) are the names of the route table that the driver's start fills, in slot
// order, and every such name a tag can carry (upper case) parses to its line's slot (the first
// line of that name). The driver's behaviour is the reference.
// Input: the init file's bytes, written as VPI 1's file and loaded by a start through VpiMain
// that opens no port.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver/context.h"
#include "fuzz_support.h"
#include "host/init_check.h"
#include "vpisd/vpi.h"

namespace {

constexpr const char *kFileName = "vpiSD01.int";
constexpr int32_t kVpiNumber = 1;
constexpr int32_t kRegisterType = 0; // a 16-bit register tag

std::string tempDirectory;

void RemoveTempDirectory() {
    unlink(kFileName);
    if (!tempDirectory.empty() && chdir("/") == 0)
        rmdir(tempDirectory.c_str());
}

// The names of the filled slots 1 to 99, in slot order, and their slots.
FUZZ_UNTRACED void ReadTable(const VpiContext &context, std::vector<std::string> &names,
                             std::vector<int> &slots) {
    for (int slot = 1; slot < vpisd::kSlotCount; ++slot) {
        const uint8_t *route = context.routes[slot];
        if (route[0] == 0)
            continue;
        names.emplace_back(reinterpret_cast<const char *>(route), route[1] == 0 ? 1 : 2);
        slots.push_back(slot);
    }
}

// A name a tag can carry: an upper-case letter, then an upper-case letter or a digit.
FUZZ_UNTRACED bool TagName(std::string_view name) {
    const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    return name.size() == 2 && upper(name[0]) &&
           (upper(name[1]) || (name[1] >= '0' && name[1] <= '9'));
}

FUZZ_UNTRACED void Report(const std::vector<std::string> &checked,
                          const std::vector<std::string> &loaded) {
    std::fprintf(stderr, "check-init accepts:");
    for (const std::string &name : checked)
        std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\nthe driver loads:  ");
    for (const std::string &name : loaded)
        std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/vpisd-fuzz-names-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        std::perror("vpisd init-names fuzzer: temporary directory");
        std::exit(1);
    }
    tempDirectory = pattern;
    std::atexit(RemoveTempDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::FILE *file = std::fopen(kFileName, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    static VpiContext context;
    StartParams start{};
    start.portEnabled = 0;
    start.timeout = 100;
    VpiRequest request{};
    request.context = &context;
    request.command = VPI_START;
    request.vpiNumber = kVpiNumber;
    request.data = &start;
    FUZZ_CHECK(VpiMain(&request) == VPI_OK);

    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const vpisd::host::InitCheck check = vpisd::host::CheckInitText(text);
    const std::vector<std::string> checked = check.PlcNames();
    std::vector<std::string> loaded;
    std::vector<int> slots;
    ReadTable(context, loaded, slots);
    std::vector<int> lines;
    for (const vpisd::host::InitLine &line : check.lines) {
        if (line.normalUsed)
            lines.push_back(line.number);
    }
    if (checked != loaded || lines != slots) {
        Report(checked, loaded);
        FUZZ_CHECK(checked == loaded);
        FUZZ_CHECK(lines == slots);
    }

    // A tag reaches each of them as the gateway asks: at the first slot of that name.
    for (size_t i = 0; i < loaded.size(); ++i) {
        const std::string &name = loaded[i];
        if (!TagName(name))
            continue;
        size_t first = 0;
        while (loaded[first] != name)
            ++first;
        const std::string gas = name + "0001";
        TagDescriptor tag{};
        tag.gas = gas.c_str();
        tag.type = kRegisterType;
        VpiRequest parse{};
        parse.context = &context;
        parse.command = VPI_SINGLE_PARSE;
        parse.vpiNumber = kVpiNumber;
        parse.data = &tag;
        FUZZ_CHECK(VpiMain(&parse) == VPI_OK);
        FUZZ_CHECK(tag.slot == slots[first]);
    }
    return 0;
}
