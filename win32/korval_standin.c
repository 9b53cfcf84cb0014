/* Stand-in for the host's KORVAL.dll, for tests only: err() writes one "level|message"
 * line per call to the file named by VPISD_KORVAL_LOG, or to stdout without it. */
#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

__declspec(dllexport) void err(int level, const char *format, ...) {
    char message[2048];
    char path[MAX_PATH];
    va_list args;
    FILE *sink = stdout;
    DWORD length;

    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    /* Read through the Win32 environment, which SetEnvironmentVariableA updates. */
    length = GetEnvironmentVariableA("VPISD_KORVAL_LOG", path, sizeof path);
    if (length > 0 && length < sizeof path) {
        sink = fopen(path, "ab");
    }
    if (sink == NULL) {
        return;
    }
    fprintf(sink, "%d|%s\n", level, message);
    if (sink == stdout) {
        fflush(sink);
    } else {
        fclose(sink);
    }
}
