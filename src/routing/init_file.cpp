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
constexpr int kNormalTextMinimum = 6; // name, "=" and at least three drop characters
constexpr int kBackupTextMinimum = 3;
constexpr int kMaxDropCharacters = 3;
constexpr int kMaxDropValue = 255;

bool IsLetter(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}
bool IsKept(int c) {
    return IsLetter(c) || IsDigit(c) || c == '+' || c == '=' || c == ',';
}

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

std::FILE *OpenInitFile(int32_t vpiNumber) {
    char name[kInitFileNameBytes];
    std::snprintf(name, sizeof name, "vpiSD%.2d.int", static_cast<int>(vpiNumber));
    if (std::FILE *file = std::fopen(name, "r")) {
        return file;
    }
    std::FILE *older = std::fopen(kOlderInitFile, "r");
    if (older != nullptr) {
        Log(LOG_EVENT, "VPISD: An older version init file, VpiSD.INT was found");
    } else {
        Log(LOG_EVENT, "VpiSD : Init File not found, Peer To Peer Mode");
    }
    return older;
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
    char line[kRouteLineBytes];
    for (int lineNumber = 1; ReadRouteLine(file, line) == 1; ++lineNumber) {
        if (lineNumber > kMaxInitLines) {
            Log(LOG_EVENT, "VpiSD : Too many lines in Init file)");
            std::fclose(file);
            return 0;
        }
        TestLine(line, request->vpiNumber, lineNumber);
        RouteLineDrops drops{};
        SplitRouteLine(line, &drops);
        if (BackupHoldsSeparatorByte(drops) == 1) {
            Log(LOG_EVENT,
                "VPISD: VPI %d Line %d in Init File: drop 44 in backup route, backup route "
                "not used",
                request->vpiNumber, lineNumber);
        }
        StoreRoute(request->context, line, lineNumber);
    }
    std::fclose(file);
    return 1;
}

int ReadRouteLine(std::FILE *file, char *line) {
    if (file == nullptr || line == nullptr) {
        return 0;
    }
    int length = 0;
    int count = 0;
    line[0] = '\0';
    for (;;) {
        int c = std::fgetc(file);
        if (c == EOF) {
            return 0;
        }
        // A text line may end in CR LF: the pair counts as the line feed alone.
        if (c == '\r') {
            c = std::fgetc(file) == '\n' ? '\n' : '\r';
        }
        if (IsKept(c)) {
            if (length < kRouteLineBytes - 1) {
                line[length++] = static_cast<char>(c);
                line[length] = '\0';
            }
        } else if (c != ' ' && c != '\n') {
            Log(LOG_EVENT, "VPISD: Route %s, Illegal character", line);
            return 0;
        }
        if (count > kMaxLineCharacters) {
            Log(LOG_EVENT, "VPISD: Route %s too long in Init File", line);
            return 0;
        }
        ++count;
        if (c == '\n') {
            return length > 0 ? 1 : 0;
        }
    }
}

int CheckRouteSyntax(const char *text, int isBackup) {
    if (text == nullptr) {
        return 0;
    }
    const int length = static_cast<int>(strnlen(text, kRouteLineBytes));
    int position = 0;
    if (isBackup == 0) {
        if (length < kNormalTextMinimum || !IsLetter(text[0]) ||
            !(IsLetter(text[1]) || IsDigit(text[1])) || text[2] != '=') {
            return 0;
        }
        position = 3;
    } else if (length < kBackupTextMinimum) {
        return 0;
    }
    int drops = 0;
    while (position < length) {
        if (text[position] == '+') {
            return 0;
        }
        int dropEnd = position;
        while (dropEnd < length && text[dropEnd] != '+') {
            ++dropEnd;
        }
        if (dropEnd - position > kMaxDropCharacters) {
            return 0;
        }
        int value = 0;
        for (int i = position; i < dropEnd && IsDigit(text[i]); ++i) {
            value = value * 10 + (text[i] - '0');
        }
        if (value == 0 || value > kMaxDropValue || ++drops > kMaxDrops) {
            return 0;
        }
        position = dropEnd + 1;
    }
    return 1;
}

} // namespace vpisd
