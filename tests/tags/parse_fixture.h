// A zeroed VPI with named route slots, and a tag record prefilled with values that the
// parse never produces, so that untouched fields stay recognisable.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "driver/context.h"
#include "support/host_log.h"
#include "tags/parser.h"

namespace vpisd::test {

constexpr int32_t kUntouched = -7;

struct NamedSlot {
    int slot;
    const char *name;
};

inline std::unique_ptr<VpiContext> MakeContext(std::initializer_list<NamedSlot> slots) {
    auto context = std::make_unique<VpiContext>(); // value-initialised: all zero
    for (const NamedSlot &named : slots) {
        context->routes[named.slot][0] = static_cast<uint8_t>(named.name[0]);
        context->routes[named.slot][1] = static_cast<uint8_t>(named.name[1]);
        context->routes[named.slot][2] = 1; // one drop, so that the slot is a real route
    }
    return context;
}

inline TagDescriptor MakeTag(const char *gas, int32_t type, int32_t count = 1) {
    TagDescriptor tag{};
    tag.gas = gas;
    tag.type = type;
    tag.count = count;
    tag.slot = kUntouched;
    tag.kind = kUntouched;
    tag.address = kUntouched;
    tag.bit = kUntouched;
    tag.width = kUntouched;
    return tag;
}

inline int32_t Parse(int32_t (*parse)(const VpiRequest *), VpiContext *context,
                     TagDescriptor &tag) {
    VpiRequest request{};
    request.context = context;
    request.command = parse == BlockParse ? VPI_BLOCK_PARSE : VPI_SINGLE_PARSE;
    request.data = &tag;
    return parse(&request);
}

} // namespace vpisd::test
