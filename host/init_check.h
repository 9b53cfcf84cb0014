// An init file read line by line as the driver reads it at start, with every problem in plain
// words: what the driver does with the line and how to write it instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vpisd::host {

struct InitLine {
    int number = 0;
    std::string text; // the kept characters, spaces removed
    std::string name;
    // The drops the driver stores; a part it leaves out is empty and marked unused.
    std::vector<unsigned> normal;
    std::vector<unsigned> backup;
    bool hasBackupText = false;
    bool normalUsed = true;
    bool backupUsed = true;
    std::vector<std::string> problems; // each makes the file load other than as written
    std::vector<std::string> notes;    // loads as written, but likely not what was meant
};

struct InitCheck {
    std::vector<InitLine> lines; // every line the driver reads, in order
    // Problems of lines the driver does not read: where loading ends, what is left unread.
    std::vector<std::pair<int, std::string>> endProblems;
    int stopLine = 0; // the line where the driver stops with a message (0: none)

    bool Clean() const;
    size_t ProblemCount() const;
    // Names of the PLCs that tags can reach: lines whose normal route is stored.
    std::vector<std::string> PlcNames() const;
    // The line that names this PLC, or nullptr.
    const InitLine *FindName(std::string_view name) const;
};

InitCheck CheckInitText(std::string_view text);
// The report check-init prints: one line per init-file line, its problems under it, a verdict.
std::string FormatInitCheck(const InitCheck &check, const std::string &fileName);
// The explanation for the line a driver message names, to print next to it ("" when none).
std::string ExplainLine(const InitCheck &check, int line);
// The init-file line a driver message is about: the number it names, else for a complaint the
// line where loading stopped; 0 when none.
int MessageLine(const InitCheck &check, const std::string &message);

} // namespace vpisd::host
