// GAS parse, single and block mode, against a route table or in peer-to-peer mode.
// Input: flags, type, count (16 bits, signed), then the GAS bytes.
//   flags bit 0: the VPI has routes; bit 1: a GAS of kUnterminatedMinimum bytes or more is
//   handed over without a terminator (the parse must not read past what it copies).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/context.h"
#include "fuzz_support.h"
#include "routing/route_table.h"
#include "tags/parser.h"

using namespace vpisd;
using vpisd::fuzz::Guarded;

namespace {

// The parse's upper-cased copy holds 35 characters; no GAS form is longer than 8.
constexpr size_t kUnterminatedMinimum = 36;

// Two slots named P1 (the lower one wins), a lower-case name that no GAS can match, and a
// slot at each end of the table.
constexpr const char *kInitLines[] = {
    "AB=7", "P1=1+5,2+5", "p1=100", "P1=9", "Z9=1+2+3+4+5+6+7+8,9+10+11+12+13+14+15+16",
};

struct Contexts {
    VpiContext withRoutes{};
    VpiContext peerToPeer{};
    Contexts() {
        int slot = 1;
        for (const char *line : kInitLines) {
            StoreRoute(&withRoutes, line, slot++);
        }
        StoreRoute(&withRoutes, "QQ=200", kSlotCount - 1);
    }
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The route slot a prefix names: the first slot whose stored name is the prefix.
int SlotNamed(const VpiContext &context, char first, char second) {
    for (int slot = 1; slot < kSlotCount; ++slot) {
        if (context.routes[slot][0] == static_cast<uint8_t>(first) &&
            context.routes[slot][1] == static_cast<uint8_t>(second)) {
            return slot;
        }
    }
    return 0;
}

void CheckAccepted(const VpiContext &context, bool routes, const char *gas, size_t length,
                   const TagDescriptor &tag, bool block) {
    FUZZ_CHECK(length >= 6 && length <= 8);
    const char first = Upper(gas[0]);
    const char second = Upper(gas[1]);
    if (routes) {
        FUZZ_CHECK(tag.slot >= 1 && tag.slot < kSlotCount);
        FUZZ_CHECK(tag.slot == SlotNamed(context, first, second));
    } else {
        FUZZ_CHECK(tag.slot == 0 && first == '0' && second == '0');
    }
    FUZZ_CHECK(tag.bit == 255 || (tag.bit >= 0 && tag.bit <= 15));
    switch (tag.kind) {
    case VPI_KIND_ROUTE:
        FUZZ_CHECK(!block && length == 8 && tag.type == 6);
        FUZZ_CHECK(tag.address == 20000 && tag.bit == 255 && tag.width == 16);
        break;
    case VPI_KIND_REGISTER:
        FUZZ_CHECK(tag.address >= 1 && tag.address <= 9999 && tag.width == 16);
        if (block) {
            FUZZ_CHECK(length == 6 && tag.bit == 255 && tag.count >= 1 && tag.count <= 128);
        } else if (tag.bit == 255) {
            FUZZ_CHECK(length == 6 && (tag.type == 0 || tag.type == 1));
        } else {
            FUZZ_CHECK(length == 8 && tag.type == 6);
        }
        break;
    case VPI_KIND_REGISTER_PAIR:
        FUZZ_CHECK(length == 7 && Upper(gas[6]) == 'F');
        FUZZ_CHECK(tag.address >= 1 && tag.address <= 5000 && tag.width == 32 && tag.bit == 255);
        FUZZ_CHECK(block ? tag.count >= 1 && tag.count <= 64 : (tag.type >= 3 && tag.type <= 5));
        break;
    default:
        FUZZ_CHECK(tag.kind == VPI_KIND_ROUTE || tag.kind == VPI_KIND_REGISTER ||
                   tag.kind == VPI_KIND_REGISTER_PAIR);
    }
}

void ParseOnce(const VpiContext &context, bool routes, const char *gas, size_t length, int32_t type,
               int32_t count, bool block) {
    Guarded<TagDescriptor> guarded;
    TagDescriptor &tag = guarded.value;
    tag.gas = gas;
    tag.type = type;
    tag.count = count;
    const int32_t reserved = tag.reserved04;

    VpiRequest request{};
    request.context = const_cast<VpiContext *>(&context);
    request.command = block ? VPI_BLOCK_PARSE : VPI_SINGLE_PARSE;
    request.data = &tag;
    const int32_t result = block ? BlockParse(&request) : SingleParse(&request);

    FUZZ_CHECK(result == VPI_OK || result == VPI_REFUSED);
    FUZZ_CHECK(guarded.GuardsIntact());
    FUZZ_CHECK(tag.gas == gas && tag.type == type && tag.count == count);
    FUZZ_CHECK(tag.reserved04 == reserved);
    if (result == VPI_OK) {
        CheckAccepted(context, routes, gas, length, tag, block);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const Contexts contexts;
    fuzz::InputReader input(data, size);
    const uint8_t flags = input.Byte();
    const auto type = static_cast<int32_t>(static_cast<int8_t>(input.Byte()));
    const int32_t count = input.Int16();
    const bool routes = (flags & 1) != 0;
    const VpiContext &context = routes ? contexts.withRoutes : contexts.peerToPeer;

    // Heap copies of exactly the GAS's size, so that any read past it is caught.
    const size_t rawSize = input.RestSize();
    const bool unterminated = (flags & 2) != 0 && rawSize >= kUnterminatedMinimum;
    std::vector<char> gas(input.Rest(), input.Rest() + rawSize);
    if (!unterminated) {
        gas.push_back('\0');
    }
    char *exact = static_cast<char *>(std::malloc(gas.size()));
    std::memcpy(exact, gas.data(), gas.size());
    const size_t length = strnlen(exact, rawSize);

    // Single, then block, then single again: a mode never outlives its own call.
    ParseOnce(context, routes, exact, length, type, count, false);
    ParseOnce(context, routes, exact, length, type, count, true);
    ParseOnce(context, routes, exact, length, type, count, false);

    // The character test on its own, over the same text when it is terminated.
    if (!unterminated) {
        const int characters = CheckTagCharacters(exact);
        FUZZ_CHECK(characters == 0 || characters == 1);
    }
    std::free(exact);
    return 0;
}
