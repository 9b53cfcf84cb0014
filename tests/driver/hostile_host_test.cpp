// A hostile host: every record the host hands over lies at the very end of a page whose
// next page cannot be touched, and its fields take values out of range for every command
// code, through the loaded library's VpiMain. A read or write past a record faults; the
// rest of each record's page must keep its fill, and records the driver only reads must
// come back unchanged.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/context.h"
#include "support/host_log.h"
#include "support/temp_dir.h"
#include "vpisd/vpi.h"

namespace vpisd::test {
namespace {

constexpr uint8_t kFill = 0x5A;

// One writable page and an inaccessible one after it; a record is placed flush against
// the inaccessible page.
class GuardedPage {
  public:
    GuardedPage() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *pages =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(pages, MAP_FAILED);
        base_ = static_cast<uint8_t *>(pages);
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    }
    ~GuardedPage() { munmap(base_, 2 * page_); }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;

    void *Place(const void *bytes, size_t size) {
        std::memset(base_, kFill, page_);
        size_ = size;
        std::memcpy(Record(), bytes, size);
        original_.assign(Record(), Record() + size);
        return Record();
    }
    template <typename T> T *Place(const T &record) {
        return static_cast<T *>(Place(&record, sizeof record));
    }
    const char *PlaceString(const std::string &text) {
        return static_cast<const char *>(Place(text.c_str(), text.size() + 1));
    }
    // The first byte of the inaccessible page: a pointer for records that must not be read.
    void *Beyond() const { return base_ + page_; }
    bool OutsideUntouched() const {
        for (size_t i = 0; i < page_ - size_; ++i) {
            if (base_[i] != kFill) {
                return false;
            }
        }
        return true;
    }
    bool RecordUnchanged() const {
        return std::memcmp(Record(), original_.data(), original_.size()) == 0;
    }

  private:
    uint8_t *Record() const { return base_ + page_ - size_; }
    uint8_t *base_ = nullptr;
    size_t page_ = 0;
    size_t size_ = 0;
    std::vector<uint8_t> original_;
};

enum class Record { None, Start, Reopen, Descriptor, Access, Info };

struct Command {
    int32_t code;
    Record record;
};

constexpr Command kCommands[] = {
    {1, Record::Start},   {2, Record::None},   {3, Record::Descriptor},   {4, Record::Descriptor},
    {5, Record::Access},  {6, Record::Access}, {7, Record::Access},       {10, Record::Access},
    {11, Record::None},   {12, Record::None},  {13, Record::None},        {14, Record::Info},
    {15, Record::Reopen}, {0, Record::None},   {8, Record::None},         {9, Record::None},
    {16, Record::None},   {-1, Record::None},  {INT32_MIN, Record::None}, {INT32_MAX, Record::None},
};

constexpr int32_t kNumbers[] = {0, -1, INT32_MIN, INT32_MAX, 32769, 65536};
const std::string kGases[] = {"",       "P",        "00000001F",          "P1!ROUTE",
                              "p10001", "00!route", std::string(100, 'P')};

// A start or reopen whose port could be opened ("NUL") must not leave it in the table.
void CloseIfOpen(int32_t (*vpiMain)(const VpiRequest *), VpiContext *context) {
    if (context->port != 0) {
        VpiRequest close{context, VPI_CLOSE, 0, 0, nullptr};
        vpiMain(&close);
    }
}

class HostileHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        library_ = dlopen(VPISD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        vpiMain_ = reinterpret_cast<int32_t (*)(const VpiRequest *)>(dlsym(library_, "VpiMain"));
        ASSERT_NE(vpiMain_, nullptr);
        cwd_.WriteFile("vpiSD.int", "P1=1+5,2+5\nP2=102\n");
    }
    void TearDown() override {
        if (library_ != nullptr) {
            dlclose(library_);
        }
    }

    // Runs one request with every record in its own guarded page; the context is either
    // zero or, as a host that never started the VPI, all fill.
    void Run(int32_t code, bool started, const std::function<void *(GuardedPage &)> &placeData,
             Record record) {
        VpiContext blank{};
        std::memset(&blank, started ? 0 : kFill, sizeof blank);
        VpiContext *context = contextPage_.Place(blank);
        void *data = placeData(dataPage_);
        for (const int32_t vpiNumber : {3, INT32_MIN}) {
            const VpiRequest request{context, code, vpiNumber, INT32_MIN, data};
            const VpiRequest *placed = requestPage_.Place(request);
            const int32_t result = vpiMain_(placed);
            EXPECT_TRUE(result >= -1 && result <= 2) << result;
            EXPECT_TRUE(requestPage_.RecordUnchanged());
            CloseIfOpen(vpiMain_, context);
        }
        EXPECT_TRUE(contextPage_.OutsideUntouched());
        EXPECT_TRUE(dataPage_.OutsideUntouched());
        EXPECT_TRUE(gasPage_.OutsideUntouched());
        EXPECT_TRUE(valuesPage_.OutsideUntouched());
        EXPECT_TRUE(gasPage_.RecordUnchanged());
        if (record != Record::Descriptor && record != Record::Info) {
            EXPECT_TRUE(dataPage_.RecordUnchanged()) << "the driver only reads this record";
        }
    }

    // Every out-of-range variant of the command's record, one field at a time.
    void RunCommand(const Command &command, bool started) {
        switch (command.record) {
        case Record::None:
            // Commands without a record must not look at data: it points at no memory.
            Run(
                command.code, started, [](GuardedPage &page) { return page.Beyond(); },
                command.record);
            break;
        case Record::Info:
            Run(
                command.code, started, [](GuardedPage &page) { return page.Place(DriverInfo{}); },
                command.record);
            break;
        case Record::Start:
            for (const StartParams &params : StartVariants()) {
                Run(
                    command.code, started,
                    [&params](GuardedPage &page) { return page.Place(params); }, command.record);
            }
            break;
        case Record::Reopen:
            for (const StartParams &start : StartVariants()) {
                ReopenParams params{};
                std::memcpy(params.portName, start.portName, sizeof params.portName);
                params.timeout = start.timeout;
                params.baudRate = start.baudRate;
                params.dataBits = start.dataBits;
                params.stopBits = start.stopBits;
                params.parity = start.parity;
                Run(
                    command.code, started,
                    [&params](GuardedPage &page) { return page.Place(params); }, command.record);
            }
            break;
        case Record::Descriptor:
            for (const std::string &gas : kGases) {
                for (const int32_t number : kNumbers) {
                    TagDescriptor tag{};
                    tag.gas = gasPage_.PlaceString(gas);
                    tag.type = number;
                    tag.count = number;
                    Run(
                        command.code, started,
                        [&tag](GuardedPage &page) { return page.Place(tag); }, command.record);
                }
            }
            break;
        case Record::Access:
            // A context the driver never filled counts its PLCs as linked and would try the
            // line ten times: it only meets the other commands.
            if (!started) {
                break;
            }
            for (const AccessVariant &variant : AccessVariants()) {
                Run(
                    command.code, started,
                    [this, &variant](GuardedPage &page) {
                        TagAccess tag = variant.tag;
                        const uint16_t words[2] = {0x1234, 0x5678};
                        tag.gas = variant.noGas ? nullptr : gasPage_.PlaceString(variant.gas);
                        tag.values =
                            variant.noValues
                                ? nullptr
                                : static_cast<uint16_t *>(valuesPage_.Place(words, sizeof words));
                        return page.Place(tag);
                    },
                    command.record);
            }
            break;
        }
    }

    static std::vector<StartParams> StartVariants() {
        std::vector<StartParams> variants;
        for (const char *name : {"ABCDEFGHIJKL", "", "NUL", "/"}) {
            for (const int32_t number : {-1, 0, INT32_MIN, INT32_MAX}) {
                StartParams params{};
                std::memcpy(params.portName, name, std::min(std::strlen(name) + 1, size_t{12}));
                params.portEnabled = number;
                params.timeout = number;
                params.baudRate = 0xFFFF;
                params.dataBits = static_cast<uint16_t>(number);
                params.stopBits = 0xFFFF;
                params.parity = 0xFFFF;
                variants.push_back(params);
            }
        }
        return variants;
    }

    struct AccessVariant {
        std::string gas;
        TagAccess tag; // gas and values are placed in their pages for each run
        bool noGas;
        bool noValues;
    };

    // A tag of a slot without a route (the context holds none) with one field out of range:
    // whatever passes the field checks is refused for its route. The value buffer holds two
    // words.
    static std::vector<AccessVariant> AccessVariants() {
        std::vector<AccessVariant> variants;
        for (const char *gas : {"P10001", "P1!ROUTE"}) {
            TagAccess base{};
            base.slot = 50;
            base.kind = VPI_KIND_REGISTER;
            base.address = 1;
            base.bit = 255;
            base.type = 0;
            base.count = 1;
            variants.push_back({gas, base, false, false});
            variants.push_back({gas, base, true, false});
            variants.push_back({gas, base, false, true});
            for (const int32_t number : kNumbers) {
                for (int32_t TagAccess::*field :
                     {&TagAccess::slot, &TagAccess::kind, &TagAccess::address, &TagAccess::bit,
                      &TagAccess::type, &TagAccess::count}) {
                    if (field == &TagAccess::slot && number == 0) {
                        continue; // in range, and the line costs twenty link tries
                    }
                    TagAccess tag = base;
                    tag.*field = number;
                    variants.push_back({gas, tag, false, false});
                }
                TagAccess bitTag = base;
                bitTag.type = 6;
                bitTag.bit = number;
                variants.push_back({gas, bitTag, false, false});
            }
        }
        return variants;
    }

    TempCwd cwd_; // before the pages: a start reads the init file from here
    GuardedPage requestPage_;
    GuardedPage contextPage_;
    GuardedPage dataPage_;
    GuardedPage gasPage_;
    GuardedPage valuesPage_;
    void *library_ = nullptr;
    int32_t (*vpiMain_)(const VpiRequest *) = nullptr;
};

TEST_F(HostileHostTest, RecordsAtAPageEndWithFieldsOutOfRange) {
    gasPage_.PlaceString("P10001");
    const uint16_t words[2] = {0, 0};
    valuesPage_.Place(words, sizeof words);
    for (const Command &command : kCommands) {
        SCOPED_TRACE("code " + std::to_string(command.code));
        for (const bool started : {true, false}) {
            RunCommand(command, started);
        }
    }
}

// No record at all: a null request, and a context or data pointer of null where the
// command needs one. Describe never reads the context, even one at no memory.
TEST_F(HostileHostTest, MissingRecordsAreBadRequests) {
    EXPECT_EQ(vpiMain_(nullptr), VPI_BAD_REQUEST);
    for (const Command &command : kCommands) {
        if (command.record == Record::Info) {
            continue; // describe needs no context
        }
        SCOPED_TRACE("code " + std::to_string(command.code));
        const VpiRequest noContext{nullptr, command.code, 3, 0, dataPage_.Beyond()};
        EXPECT_EQ(vpiMain_(requestPage_.Place(noContext)), VPI_BAD_REQUEST);
        if (command.record != Record::None) {
            VpiContext *context = contextPage_.Place(VpiContext{});
            const VpiRequest noData{context, command.code, 3, 0, nullptr};
            EXPECT_EQ(vpiMain_(requestPage_.Place(noData)), VPI_BAD_REQUEST);
            EXPECT_TRUE(contextPage_.RecordUnchanged());
        }
    }
    const VpiRequest noInfo{nullptr, VPI_DESCRIBE, 0, 0, nullptr};
    EXPECT_EQ(vpiMain_(requestPage_.Place(noInfo)), VPI_BAD_REQUEST);
    DriverInfo *info = dataPage_.Place(DriverInfo{});
    const VpiRequest describe{static_cast<VpiContext *>(contextPage_.Beyond()), VPI_DESCRIBE, 0, 0,
                              info};
    EXPECT_EQ(vpiMain_(requestPage_.Place(describe)), VPI_OK);
    EXPECT_EQ(info->contextSize, 2944);
    EXPECT_TRUE(dataPage_.OutsideUntouched());
}

} // namespace
} // namespace vpisd::test
