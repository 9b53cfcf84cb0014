// The init file of a VPI: "vpiSD%.2d.int" (or the older "vpiSD.int") in the
// current directory, one PLC route per line.
#pragma once

#include <cstddef>
#include <cstdio>

#include "driver/context.h"
#include "routing/init_grammar.h"
#include "routing/init_source.h"
#include "vpisd/vpi.h"

namespace vpisd {

// Returns 1 when loading ended normally (also without a file), 0 on too many lines.
int LoadInitFile(const VpiRequest *request);
// Loads an init file's text held in memory, as LoadInitFile loads the file once it is
// open: same lines, messages and result. The route table must be zero already.
int LoadInitText(VpiContext *context, int32_t vpiNumber, const char *text, size_t size);
// Reads the next line without spaces and line end; 0 ends the loading.
int ReadRouteLine(std::FILE *file, char *line);
int ReadRouteLine(InitSource *source, char *line);
// Tests the normal text (isBackup 0: name, "=", drops) or the backup text (isBackup 1).
int CheckRouteSyntax(const char *text, int isBackup);

} // namespace vpisd
