#include "host/init_check.h"

#include <cstdio>
#include <optional>
#include <regex>

#include "host/init_file_messages.h"
#include "routing/init_grammar.h"

namespace vpisd::host {
namespace {

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

// The drop that starts at begin in part.
DropText DropAt(std::string_view part, size_t begin) {
    return ScanDrop(part.data(), begin, part.size());
}

// A part of one drop written in digits only, with a value the driver can use, as it stands in
// a text too short to be legal ("P1=12", ",5"); 0 when the part is not that.
unsigned LoneDigitsDrop(std::string_view part) {
    const DropText first = DropAt(part, 0);
    const bool alone = !part.empty() && first.end + 1 >= part.size();
    return alone && first.digits == first.end && first.value >= 1 ? first.value : 0;
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
    size_t count = 0;
    for (size_t at = 0; at < part.size(); ++count) {
        const DropText drop = DropAt(part, at);
        at = drop.end + 1;
        const std::string quoted =
            "'" + std::string(part.substr(drop.begin, drop.end - drop.begin)) + "'";
        const DropFault fault = ClassifyDrop(drop);
        if (fault == DropFault::Empty) {
            line.problems.push_back(std::string("an empty drop in the ") + which +
                                    " route: '+' right after '=', ',' or another '+'");
        } else if (fault == DropFault::OutOfRange) {
            line.problems.push_back("drop " + quoted + " in the " + which +
                                    " route is not in 1 to 255");
        } else if (fault == DropFault::Zero) {
            line.problems.push_back("drop " + quoted + " in the " + which + " route is " +
                                    (drop.digits == 0 ? "not a number" : "0") +
                                    ": a drop is 1 to 255");
        } else if (fault == DropFault::TooLong) {
            line.problems.push_back("drop " + quoted + " in the " + which +
                                    " route is longer than three characters");
        }
        if (IsStoredDrop(fault)) {
            stored.push_back(drop.value);
        } else {
            used = false;
        }
    }
    if (count > static_cast<size_t>(kMaxDrops)) {
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
    const std::string_view drops =
        text.size() > kNormalDropsStart ? text.substr(kNormalDropsStart) : std::string_view{};
    const unsigned faults = RouteNameFaults(text.data(), text.size());
    if ((faults & NAME_FIRST_NOT_LETTER) != 0) {
        line.problems.push_back("the PLC name must begin with a letter");
    } else if ((faults & NAME_SECOND_NOT_LETTER_OR_DIGIT) != 0) {
        line.problems.push_back("the second character of the PLC name must be a letter or a "
                                "digit");
    }
    if ((faults & NAME_WITHOUT_EQUALS) != 0) {
        line.problems.push_back("a line begins with a two-character PLC name and '=', e.g. "
                                "P1=1+5");
    } else if (text.size() < kNormalTextMinimum) {
        if (const unsigned lone = LoneDigitsDrop(drops); lone != 0) {
            line.problems.push_back("a one-drop route needs three digits: write " +
                                    std::string(text.substr(0, kNormalDropsStart)) + Padded(lone));
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
    if (text.empty()) {
        line.problems.push_back("nothing after ',': remove the ',' or give a backup route");
    } else if (text.size() < kBackupTextMinimum) {
        if (const unsigned lone = LoneDigitsDrop(text); lone != 0) {
            line.problems.push_back("a one-drop backup route needs three digits: write ," +
                                    Padded(lone));
        } else {
            line.problems.push_back("the backup route is too short");
        }
    }
    line.backup = CheckDrops(text, "backup", line, line.backupUsed);
    for (const unsigned d : line.backup) {
        if (d == kRouteSeparator && line.backupUsed) {
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

// Why reading ended before a whole line with kept characters came: the problem to report
// (none for the end of a file whose last line is whole), and whether the driver stops there with
// a message. rest is the text after the line.
std::optional<std::string> ReadingEnd(LineEnd end, int length, int illegal, std::string_view rest,
                                      bool &stops) {
    stops = end == LineEnd::IllegalCharacter || end == LineEnd::TooLong;
    switch (end) {
    case LineEnd::IllegalCharacter:
        return IllegalCharacter(static_cast<char>(illegal));
    case LineEnd::TooLong:
        return "the line is longer than 66 characters, spaces included; the driver stops reading "
               "here, so this line and all after it are not used";
    case LineEnd::TextEnd:
        if (length == 0)
            return std::nullopt;
        return "the last line has no line feed at its end, so the driver does not use it: end "
               "the file with a line feed";
    case LineEnd::LineFeed:
        break;
    }
    // A blank line ends the file for the driver; only blanks may follow it.
    if (rest.find_first_not_of(" \r\n") == std::string_view::npos)
        return std::nullopt;
    return "a blank line ends the file for the driver, so the lines after it are not used: "
           "remove the blank line";
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
    InitSource source = MemorySource(text.data(), text.size());
    for (int number = 1;; ++number) {
        char kept[kRouteLineBytes];
        int length = 0;
        int illegal = 0;
        const LineEnd end = ReadInitLine(&source, kept, &length, &illegal);
        if (end != LineEnd::LineFeed || length == 0) {
            bool stops = false;
            if (auto problem =
                    ReadingEnd(end, length, illegal, text.substr(source.position), stops)) {
                check.endProblems.emplace_back(number, std::move(*problem));
            }
            if (stops)
                check.stopLine = number;
            return check;
        }
        if (number > kMaxInitLines) {
            check.endProblems.emplace_back(
                number, "more than 99 lines: the driver stops at the hundredth, so line 100 and "
                        "all after it are not used");
            check.stopLine = number;
            return check;
        }
        InitLine line = CheckLine(number, std::string(kept, static_cast<size_t>(length)));
        for (const auto &earlier : check.lines) {
            if (earlier.name == line.name && earlier.normalUsed) {
                line.notes.push_back("the name " + line.name + " is also on line " +
                                     std::to_string(earlier.number) +
                                     ": its tags reach the PLC of that line only");
                break;
            }
        }
        check.lines.push_back(std::move(line));
    }
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
