#include "routing/init_file.h"

#include <cstring>

#include "driver/log.h"
#include "routing/route_line.h"
#include "routing/route_table.h"

namespace vpisd {
namespace {

// "vpiSD" + "-2147483648" + ".int" + terminator: every int32 VPI number fits.
constexpr size_t kInitFileNameBytes = 24;
constexpr const char kOlderInitFile[] = "vpiSD.int";
constexpr size_t kShownDropCharacters = 12;

// Returns 1 when the part passed the test; otherwise reports the line.
int TestPart(const char *text, int isBackup, int32_t vpiNumber, int lineNumber) {
    if (CheckRouteSyntax(text, isBackup) == 1) {
        return 1;
    }
    Log(LOG_EVENT, "VpiSD :VPI %d Line %d in Init File is illegal", vpiNumber, lineNumber);
    return 0;
}

void TestLine(const char *line, int32_t vpiNumber, int lineNumber) {
    char normal[kRouteLineBytes];
    const size_t length = strnlen(line, sizeof normal - 1);
    std::memcpy(normal, line, length);
    normal[length] = '\0';
    char *comma = std::strchr(normal, ',');
    if (comma == nullptr) {
        TestPart(normal, 0, vpiNumber, lineNumber);
        return;
    }
    *comma = '\0';
    TestPart(normal, 0, vpiNumber, lineNumber);
    TestPart(comma + 1, 1, vpiNumber, lineNumber);
}

// A directory opens as a stream on some systems and then fails its first read: such a
// name counts as one that does not open, so it cannot hide the older file.
std::FILE *OpenReadable(const char *name) {
    std::FILE *file = std::fopen(name, "r");
    if (file == nullptr) {
        return nullptr;
    }
    const int first = std::fgetc(file);
    if (first == EOF && std::ferror(file) != 0) {
        std::fclose(file);
        return nullptr;
    }
    std::ungetc(first, file);
    return file;
}

std::FILE *OpenInitFile(int32_t vpiNumber) {
    char name[kInitFileNameBytes];
    std::snprintf(name, sizeof name, "vpiSD%.2d.int", static_cast<int>(vpiNumber));
    if (std::FILE *file = OpenReadable(name)) {
        return file;
    }
    std::FILE *older = OpenReadable(kOlderInitFile);
    if (older != nullptr) {
        Log(LOG_EVENT, "VPISD: An older version init file, VpiSD.INT was found");
    } else {
        Log(LOG_EVENT, "VpiSD : Init File not found, Peer To Peer Mode");
    }
    return older;
}

// A part whose drop the file cannot mean is left out of the slot; the operator is told
// which drop, cut to a few characters.
void ReportLeftOutPart(const char *line, const RoutePart &part, bool isBackup, int32_t vpiNumber,
                       int lineNumber) {
    if (!part.leftOut) {
        return;
    }
    char drop[kShownDropCharacters + 1];
    const size_t length =
        part.badDropLength < kShownDropCharacters ? part.badDropLength : kShownDropCharacters;
    std::memcpy(drop, line + part.badDropBegin, length);
    drop[length] = '\0';
    // An empty drop ("1++2") is named, so that the message does not read "drop  not in".
    const char *shown = length == 0 ? "\"\" (empty)" : drop;
    if (isBackup) {
        Log(LOG_EVENT,
            "VPISD: VPI %d Line %d in Init File: drop %s not in 1 to 255, backup route not used",
            vpiNumber, lineNumber, shown);
    } else {
        Log(LOG_EVENT,
            "VPISD: VPI %d Line %d in Init File: drop %s not in 1 to 255, normal route not used",
            vpiNumber, lineNumber, shown);
    }
}

// The loading loop after the open, shared by the file and the in-memory text.
int LoadRouteLines(VpiContext *context, int32_t vpiNumber, InitSource *source) {
    char line[kRouteLineBytes];
    for (int lineNumber = 1; ReadRouteLine(source, line) == 1; ++lineNumber) {
        if (lineNumber > kMaxInitLines) {
            Log(LOG_EVENT, "VpiSD : Too many lines in Init file)");
            return 0;
        }
        TestLine(line, vpiNumber, lineNumber);
        RouteLineDrops drops{};
        SplitRouteLine(line, &drops);
        ReportLeftOutPart(line, drops.normal, false, vpiNumber, lineNumber);
        ReportLeftOutPart(line, drops.backup, true, vpiNumber, lineNumber);
        if (!drops.normal.leftOut && BackupHoldsSeparatorByte(drops) == 1) {
            Log(LOG_EVENT,
                "VPISD: VPI %d Line %d in Init File: drop 44 in backup route, backup route "
                "not used",
                vpiNumber, lineNumber);
        }
        StoreRoute(context, line, lineNumber);
    }
    return 1;
}

} // namespace

int LoadInitFile(const VpiRequest *request) {
    if (request == nullptr || request->context == nullptr) {
        return 1;
    }
    std::FILE *file = OpenInitFile(request->vpiNumber);
    if (file == nullptr) {
        return 1;
    }
    InitSource source = FileSource(file);
    const int result = LoadRouteLines(request->context, request->vpiNumber, &source);
    std::fclose(file);
    return result;
}

int LoadInitText(VpiContext *context, int32_t vpiNumber, const char *text, size_t size) {
    if (context == nullptr) {
        return 1;
    }
    InitSource source = MemorySource(text, size);
    return LoadRouteLines(context, vpiNumber, &source);
}

int ReadRouteLine(std::FILE *file, char *line) {
    if (file == nullptr) {
        return 0;
    }
    InitSource source = FileSource(file);
    return ReadRouteLine(&source, line);
}

int ReadRouteLine(InitSource *source, char *line) {
    if (source == nullptr || line == nullptr) {
        return 0;
    }
    int length = 0;
    int illegal = 0;
    const LineEnd end = ReadInitLine(source, line, &length, &illegal);
    if (end == LineEnd::IllegalCharacter) {
        Log(LOG_EVENT, "VPISD: Route %s, Illegal character", line);
    } else if (end == LineEnd::TooLong) {
        Log(LOG_EVENT, "VPISD: Route %s too long in Init File", line);
    }
    return end == LineEnd::LineFeed && length > 0 ? 1 : 0;
}

int CheckRouteSyntax(const char *text, int isBackup) {
    if (text == nullptr) {
        return 0;
    }
    const size_t length = strnlen(text, kRouteLineBytes);
    size_t position = 0;
    if (isBackup == 0) {
        if (length < kNormalTextMinimum || RouteNameFaults(text, length) != 0) {
            return 0;
        }
        position = kNormalDropsStart;
    } else if (length < kBackupTextMinimum) {
        return 0;
    }
    int drops = 0;
    while (position < length) {
        const DropText drop = ScanDrop(text, position, length);
        if (ClassifyDrop(drop) != DropFault::None || ++drops > kMaxDrops) {
            return 0;
        }
        position = drop.end + 1;
    }
    return 1;
}

} // namespace vpisd
