// The driver's read and write commands allocate nothing on the heap. This program
// replaces malloc and friends (glibc allows an executable to do so) and counts the
// calls made on the test's own thread while a command runs; the scripted PLC's
// thread allocates freely and is not counted. Its host logger keeps messages in a
// fixed table, so that logging on the test's thread allocates nothing either.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "../line_fixture.h"
#include "routing/route_table.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
}

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
} // namespace

extern "C" {
void *malloc(size_t size) {
    allocations += counting ? 1 : 0;
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    allocations += counting ? 1 : 0;
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size) {
    allocations += counting ? 1 : 0;
    return __libc_realloc(pointer, size);
}
void free(void *pointer) {
    __libc_free(pointer);
}
}

namespace {
struct FixedEntry {
    int32_t level;
    char text[256];
};
FixedEntry fixedLog[512];
int fixedLogSize = 0;
} // namespace

extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) void
VpiHostLog(int32_t level, const char *format, ...) {
    FixedEntry &entry = fixedLog[fixedLogSize % 512];
    entry.level = level;
    va_list args;
    va_start(args, format);
    std::vsnprintf(entry.text, sizeof entry.text, format, args);
    va_end(args);
    ++fixedLogSize;
}

namespace vpisd::test {

void ClearLog() {
    fixedLogSize = 0;
}
std::vector<LogEntry> LogEntries() {
    std::vector<LogEntry> out;
    for (int i = 0; i < fixedLogSize && i < 512; ++i)
        out.push_back({fixedLog[i].level, fixedLog[i].text});
    return out;
}
int CountLog(int32_t level, const std::string &text) {
    int count = 0;
    for (const LogEntry &entry : LogEntries())
        count += entry.level == level && entry.text == text ? 1 : 0;
    return count;
}
std::string LogDump() {
    std::string dump;
    for (const LogEntry &entry : LogEntries())
        dump += entry.text + "\n";
    return dump;
}

namespace {

class NoHeapTest : public LineFixture {
  protected:
    template <typename Command> long AllocationsDuring(Command command) {
        allocations = 0;
        counting = true;
        command();
        counting = false;
        return allocations;
    }
};

TEST_F(NoHeapTest, ReadsAndWritesOverARouteAllocateNothing) {
    StoreRoute(&context, "P1=1+5,2+5", 1);
    plc.OnRequest([](const ParsedRequest &request, int) {
        return request.body[0] == 0x00 ? GoodAnswer(request, ReadReply(request, Bytes(20, 0x10)))
                                       : GoodAnswer(request, WriteReply(request));
    });
    TagAccess tag = Tag("P10100", 1, 100, 10);
    int32_t readResult = -1;
    int32_t writeResult = -1;
    EXPECT_EQ(AllocationsDuring([&] { readResult = Read(tag); }), 0);
    EXPECT_EQ(AllocationsDuring([&] { writeResult = Write(tag); }), 0);
    EXPECT_EQ(readResult, 0) << LogDump();
    EXPECT_EQ(writeResult, 0) << LogDump();
    EXPECT_EQ(values[9], 0x1010);
}

TEST_F(NoHeapTest, RetriesAndARouteSwitchAllocateNothing) {
    StoreRoute(&context, "P1=1+5,2+5", 1);
    TagAccess tag = Tag("P10100", 1, 100, 1);
    int32_t result = -1;
    EXPECT_EQ(AllocationsDuring([&] { result = Read(tag); }), 0);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(context.useBackup[1], 1);
}

} // namespace
} // namespace vpisd::test
