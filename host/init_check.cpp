#include "host/init_check.h"

#include <cstdio>
#include <regex>

#include "host/init_file_messages.h"

namespace vpisd::host {
namespace {

constexpr int kMaxLines = 99;
constexpr size_t kMaxLineCharacters = 66; // spaces included, the line feed not
constexpr size_t kNormalTextMinimum = 6;  // "P1=005"
constexpr size_t kBackupTextMinimum = 3;  // "005"
constexpr size_t kMaxDrops = 8;
constexpr size_t kMaxDropCharacters = 3;
constexpr unsigned kMaxDrop = 255;
constexpr unsigned kSeparatorByte = 44; // the byte that marks a backup route in a slot

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsKept(char c) {
    return IsLetter(c) || IsDigit(c) || c == '+' || c == '=' || c == ',';
}

std::string CharacterName(char c) {
    if (c == '\t')
        return "a tab";
    if (c == '\r')
        return "a carriage return without a line feed after it";
    char text[32];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7F) {
        std::snprintf(text, sizeof text, "'%c'", c);
    } else {
        std::snprintf(text, sizeof text, "the byte 0x%02X", byte);
    }
    return text;
}

std::string IllegalCharacter(char c) {
    std::string why = CharacterName(c) + " is not allowed";
    if (c == '#' || c == ';' || c == '/') {
        why += ": comments are not allowed in an init file";
    } else if (c == '-') {
        why += ": drops are joined with '+'";
    } else if (c == '\t') {
        why += ": use spaces";
    } else {
        why += ": only letters, digits, '+', '=', ',' and spaces";
    }
    return why + "; the driver stops reading here, so this line and all after it are not used";
}

struct Drop {
    std::string text;
    unsigned value = 0; // its leading digits
    size_t digits = 0;
};

std::vector<Drop> SplitDrops(std::string_view part) {
    std::vector<Drop> drops;
    size_t at = 0;
    while (at < part.size()) {
        size_t end = part.find('+', at);
        if (end == std::string_view::npos)
            end = part.size();
        Drop drop;
        drop.text = std::string(part.substr(at, end - at));
        for (const char c : drop.text) {
            if (!IsDigit(c))
                break;
            if (drop.value <= 100000)
                drop.value = drop.value * 10 + static_cast<unsigned>(c - '0');
            ++drop.digits;
        }
        drops.push_back(drop);
        at = end + 1; // a '+' at the very end adds no drop
    }
    return drops;
}

std::string DropsText(const std::vector<unsigned> &drops) {
    std::string out;
    for (const unsigned d : drops)
        out += (out.empty() ? "" : "+") + std::to_string(d);
    return out;
}

// Checks the drops of one part; returns the drops the driver stores, or nothing when it leaves
// the part out.
std::vector<unsigned> CheckDrops(std::string_view part, const char *which, InitLine &line,
                                 bool &used) {
    std::vector<unsigned> stored;
    used = true;
    const std::vector<Drop> drops = SplitDrops(part);
    for (const Drop &drop : drops) {
        const std::string quoted = "'" + drop.text + "'";
        if (drop.text.empty()) {
            line.problems.push_back(std::string("an empty drop in the ") + which +
                                    " route: '+' right after '=', ',' or another '+'");
            used = false;
        } else if (drop.digits >= 4 || drop.value > kMaxDrop) {
            line.problems.push_back("drop " + quoted + " in the " + which +
                                    " route is not in 1 to 255");
            used = false;
        } else if (drop.value == 0) {
            line.problems.push_back("drop " + quoted + " in the " + which + " route is " +
                                    (drop.digits == 0 ? "not a number" : "0") +
                                    ": a drop is 1 to 255");
            used = false;
        } else if (drop.text.size() > kMaxDropCharacters) {
            line.problems.push_back("drop " + quoted + " in the " + which +
                                    " route is longer than three characters");
        }
        if (drop.value >= 1 && drop.value <= kMaxDrop && drop.digits < 4)
            stored.push_back(drop.value);
    }
    if (drops.size() > kMaxDrops) {
        line.problems.push_back(std::string("more than 8 drops in the ") + which +
                                " route: the driver keeps the first 8");
        stored.resize(kMaxDrops);
    }
    if (!used) {
        line.problems.back() += std::string("; the driver does not use the ") + which + " route";
        stored.clear();
    }
    return stored;
}

std::string Padded(unsigned drop) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u", drop);
    return text;
}

void CheckNormalText(std::string_view text, InitLine &line) {
    const std::string_view drops = text.size() > 3 ? text.substr(3) : std::string_view{};
    if (text.size() < 2 || !IsLetter(text[0])) {
        line.problems.push_back("the PLC name must begin with a letter");
    } else if (!IsLetter(text[1]) && !IsDigit(text[1])) {
        line.problems.push_back("the second character of the PLC name must be a letter or a "
                                "digit");
    }
    if (text.size() < 3 || text[2] != '=') {
        line.problems.push_back("a line begins with a two-character PLC name and '=', e.g. "
                                "P1=1+5");
    }
    if (text.size() < kNormalTextMinimum && text.size() >= 3 && text[2] == '=') {
        const std::vector<Drop> one = SplitDrops(drops);
        if (one.size() == 1 && one[0].digits == one[0].text.size() && one[0].value >= 1 &&
            one[0].value <= kMaxDrop) {
            line.problems.push_back("a one-drop route needs three digits: write " +
                                    std::string(text.substr(0, 3)) + Padded(one[0].value) + "");
        } else if (drops.empty()) {
            line.problems.push_back("no drops after '='");
        } else {
            line.problems.push_back("the route is too short");
        }
    }
    // A normal route without drops is kept all the same (only a bad drop leaves it out): the
    // PLC is named in the table and its tags are sent with no route at all.
    line.normal = CheckDrops(drops, "normal", line, line.normalUsed);
}

void CheckBackupText(std::string_view text, InitLine &line) {
    if (text.size() < kBackupTextMinimum) {
        const std::vector<Drop> one = SplitDrops(text);
        if (text.empty()) {
            line.problems.push_back("nothing after ',': remove the ',' or give a backup route");
        } else if (one.size() == 1 && one[0].digits == one[0].text.size() && one[0].value >= 1) {
            line.problems.push_back("a one-drop backup route needs three digits: write ," +
                                    Padded(one[0].value) + "");
        } else {
            line.problems.push_back("the backup route is too short");
        }
    }
    line.backup = CheckDrops(text, "backup", line, line.backupUsed);
    for (const unsigned d : line.backup) {
        if (d == kSeparatorByte && line.backupUsed) {
            line.problems.push_back("drop 44 cannot stand in a backup route (its byte marks "
                                    "the backup route in the driver's table); the driver does "
                                    "not use the backup route");
            line.backupUsed = false;
        }
    }
    if (line.backup.empty())
        line.backupUsed = false;
    if (!line.backupUsed)
        line.backup.clear();
}

InitLine CheckLine(int number, const std::string &text) {
    InitLine line;
    line.number = number;
    line.text = text;
    line.name = text.substr(0, 2);
    const size_t comma = text.find(',');
    line.hasBackupText = comma != std::string::npos;
    CheckNormalText(std::string_view(text).substr(0, comma), line);
    if (line.hasBackupText) {
        CheckBackupText(std::string_view(text).substr(comma + 1), line);
    } else {
        line.backupUsed = false;
    }
    for (const char c : line.name) {
        if (c >= 'a' && c <= 'z') {
            line.notes.push_back("the name " + line.name +
                                 " has a lower-case letter: tags are upper-cased, so no tag "
                                 "reaches this PLC");
            break;
        }
    }
    return line;
}

} // namespace

bool InitCheck::Clean() const {
    return ProblemCount() == 0;
}

size_t InitCheck::ProblemCount() const {
    size_t n = endProblems.size();
    for (const auto &line : lines)
        n += line.problems.size();
    return n;
}

std::vector<std::string> InitCheck::PlcNames() const {
    std::vector<std::string> names;
    for (const auto &line : lines) {
        if (line.normalUsed)
            names.push_back(line.name);
    }
    return names;
}

const InitLine *InitCheck::FindName(std::string_view name) const {
    for (const auto &line : lines) {
        if (line.name == name)
            return &line;
    }
    return nullptr;
}

InitCheck CheckInitText(std::string_view text) {
    InitCheck check;
    int number = 1;
    size_t at = 0;
    while (at < text.size()) {
        std::string kept;
        size_t count = 0;
        bool ended = false; // by a line feed
        bool stop = false;
        for (; at < text.size(); ++at) {
            char c = text[at];
            if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n')
                c = text[++at];
            if (IsKept(c)) {
                kept += c;
            } else if (c != ' ' && c != '\n') {
                check.endProblems.emplace_back(number, IllegalCharacter(c));
                stop = true;
                break;
            }
            if (count > kMaxLineCharacters) {
                check.endProblems.emplace_back(
                    number, "the line is longer than 66 characters, spaces included; the "
                            "driver stops reading here, so this line and all after it are not "
                            "used");
                stop = true;
                break;
            }
            ++count;
            if (c == '\n') {
                ++at;
                ended = true;
                break;
            }
        }
        if (stop) {
            check.stopLine = number;
            return check;
        }
        if (!ended) {
            if (!kept.empty()) {
                check.endProblems.emplace_back(
                    number, "the last line has no line feed at its end, so the driver does not "
                            "use it: end the file with a line feed");
            }
            return check;
        }
        if (kept.empty()) {
            // A blank line ends the file for the driver; only blanks may follow it.
            const size_t rest = text.find_first_not_of(" \r\n", at);
            if (rest != std::string_view::npos) {
                check.endProblems.emplace_back(
                    number, "a blank line ends the file for the driver, so the lines after it "
                            "are not used: remove the blank line");
            }
            return check;
        }
        if (number > kMaxLines) {
            check.endProblems.emplace_back(
                number, "more than 99 lines: the driver stops at the hundredth, so line 100 and "
                        "all after it are not used");
            check.stopLine = number;
            return check;
        }
        InitLine line = CheckLine(number, kept);
        for (const auto &earlier : check.lines) {
            if (earlier.name == line.name && earlier.normalUsed) {
                line.notes.push_back("the name " + line.name + " is also on line " +
                                     std::to_string(earlier.number) +
                                     ": its tags reach the PLC of that line only");
                break;
            }
        }
        check.lines.push_back(std::move(line));
        ++number;
    }
    return check;
}

std::string ExplainLine(const InitCheck &check, int line) {
    std::string out;
    for (const auto &entry : check.lines) {
        if (entry.number != line)
            continue;
        for (const auto &problem : entry.problems)
            out += (out.empty() ? "" : "; ") + problem;
    }
    for (const auto &[number, problem] : check.endProblems) {
        if (number == line)
            out += (out.empty() ? "" : "; ") + problem;
    }
    return out;
}

int MessageLine(const InitCheck &check, const std::string &message) {
    static const std::regex lineNumber("Line ([0-9]+)");
    std::smatch match;
    if (std::regex_search(message, match, lineNumber))
        return std::stoi(match[1].str());
    // An illegal character, a line too long, too many lines: where loading stopped.
    return ClassifyInitFileMessage(message) == InitFileMessage::Complaint ? check.stopLine : 0;
}

std::string FormatInitCheck(const InitCheck &check, const std::string &fileName) {
    std::string out;
    size_t next = 0; // end problems come after the lines before them
    auto flushEnds = [&](int upTo) {
        for (; next < check.endProblems.size() && check.endProblems[next].first <= upTo; ++next) {
            out += "line " + std::to_string(check.endProblems[next].first) +
                   ": problem: " + check.endProblems[next].second + "\n";
        }
    };
    for (const auto &line : check.lines) {
        flushEnds(line.number - 1);
        out += "line " + std::to_string(line.number) + ": " + line.name + "  normal " +
               (!line.normalUsed ? "(none: no route, tags of " + line.name + " are rejected)"
                : line.normal.empty()
                    ? "(empty: the driver keeps " + line.name + ", its tags go with no route)"
                    : DropsText(line.normal));
        if (line.hasBackupText)
            out += "  backup " + (line.backupUsed ? DropsText(line.backup) : "(not used)");
        out += "\n";
        for (const auto &problem : line.problems)
            out += "  problem: " + problem + "\n";
        for (const auto &note : line.notes)
            out += "  note: " + note + "\n";
    }
    flushEnds(1 << 30);
    const size_t problems = check.ProblemCount();
    if (problems == 0) {
        out += fileName + ": " + std::to_string(check.lines.size()) +
               " line(s); the driver loads every line as written\n";
    } else {
        out += fileName + ": " + std::to_string(problems) +
               " problem(s); the driver does not load every line as written\n";
    }
    return out;
}

} // namespace vpisd::host
