// The grammar of an init file, one for the driver's loader and for a host that checks a file
// before a start: the characters a line keeps, where reading ends, what a PLC name and the drops
// of a route look like. Inline and free of the logger, so that a host compiles it without the
// driver; what each reader says about a line is its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "routing/init_source.h"
#include "routing/route_table.h"

namespace vpisd {

constexpr int kRouteLineBytes = 200;     // a line's kept characters and the terminator
constexpr int kMaxLineCharacters = 66;   // before the line feed, spaces included
constexpr int kMaxInitLines = 99;        // line n fills slot n
constexpr size_t kNormalTextMinimum = 6; // name, "=" and at least three drop characters
constexpr size_t kBackupTextMinimum = 3;
constexpr size_t kNormalDropsStart = 3; // after the name and the "="
constexpr size_t kMaxDropCharacters = 3;
constexpr unsigned kMaxDropValue = 255;

constexpr bool IsInitLetter(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool IsInitDigit(int c) {
    return c >= '0' && c <= '9';
}
// Spaces and the line feed are passed over; any other character is illegal.
constexpr bool IsKeptCharacter(int c) {
    return IsInitLetter(c) || IsInitDigit(c) || c == '+' || c == '=' || c == ',';
}

enum class LineEnd : uint8_t {
    LineFeed,         // a whole line (its kept characters may be none: a blank line)
    TextEnd,          // the text ended first: an unfinished last line is not used
    IllegalCharacter, // loading ends at this line
    TooLong,          // more than kMaxLineCharacters before the line feed: loading ends
};

// Reads one line: its kept characters go to line (kRouteLineBytes, terminated), their number
// to *length, so far as reading got; on IllegalCharacter *illegal is the character.
inline LineEnd ReadInitLine(InitSource *source, char *line, int *length, int *illegal) {
    *length = 0;
    line[0] = '\0';
    for (int count = 0;; ++count) {
        int c = NextCharacter(source);
        if (c == EOF) {
            return LineEnd::TextEnd;
        }
        // A text line may end in CR LF: the pair counts as the line feed alone.
        if (c == '\r') {
            c = NextCharacter(source) == '\n' ? '\n' : '\r';
        }
        if (IsKeptCharacter(c)) {
            if (*length < kRouteLineBytes - 1) {
                line[(*length)++] = static_cast<char>(c);
                line[*length] = '\0';
            }
        } else if (c != ' ' && c != '\n') {
            *illegal = c;
            return LineEnd::IllegalCharacter;
        }
        // The count takes in spaces and the line feed: 66 characters and a line feed pass.
        if (count > kMaxLineCharacters) {
            return LineEnd::TooLong;
        }
        if (c == '\n') {
            return LineEnd::LineFeed;
        }
    }
}

// What is wrong with the opening of a normal text (the PLC name and its "="), a bit each.
enum : unsigned {
    NAME_FIRST_NOT_LETTER = 1U, // also a text shorter than the name
    NAME_SECOND_NOT_LETTER_OR_DIGIT = 2U,
    NAME_WITHOUT_EQUALS = 4U,
};

constexpr unsigned RouteNameFaults(const char *text, size_t length) {
    unsigned faults = 0;
    if (length < 2 || !IsInitLetter(text[0])) {
        faults |= NAME_FIRST_NOT_LETTER;
    } else if (!IsInitLetter(text[1]) && !IsInitDigit(text[1])) {
        faults |= NAME_SECOND_NOT_LETTER_OR_DIGIT;
    }
    if (length < 3 || text[2] != '=') {
        faults |= NAME_WITHOUT_EQUALS;
    }
    return faults;
}

// One drop of a route part: text[begin, end), up to the next "+" or the end of the part.
struct DropText {
    size_t begin;
    size_t end;
    size_t digits;  // its leading decimal digits
    unsigned value; // the number the first three of them form
};

// The drop that starts at begin; the next one starts at its end + 1, so a "+" at the very end
// of a part adds no drop.
constexpr DropText ScanDrop(const char *text, size_t begin, size_t partEnd) {
    DropText drop{begin, begin, 0, 0};
    while (drop.end < partEnd && text[drop.end] != '+') {
        ++drop.end;
    }
    for (size_t i = begin; i < drop.end && IsInitDigit(text[i]); ++i) {
        if (++drop.digits <= kMaxDropCharacters) {
            drop.value = drop.value * 10U + static_cast<unsigned>(text[i] - '0');
        }
    }
    return drop;
}

enum class DropFault : uint8_t {
    None,
    Empty,      // a "+" right after the "=", the "," or another "+"
    OutOfRange, // above 255, or four digits or more
    Zero,       // 0, or no leading digit at all
    TooLong,    // more than three characters, yet its leading digits make a drop (12AB)
};

constexpr DropFault ClassifyDrop(const DropText &drop) {
    if (drop.end == drop.begin) {
        return DropFault::Empty;
    }
    if (drop.digits > kMaxDropCharacters || drop.value > kMaxDropValue) {
        return DropFault::OutOfRange;
    }
    if (drop.value == 0) {
        return DropFault::Zero;
    }
    return drop.end - drop.begin > kMaxDropCharacters ? DropFault::TooLong : DropFault::None;
}

// The route table keeps a drop of these (its value is the stored byte); a drop of any other
// fault leaves its whole part out of the slot.
constexpr bool IsStoredDrop(DropFault fault) {
    return fault == DropFault::None || fault == DropFault::TooLong;
}

} // namespace vpisd
