// Program entry: everything from the start of the process to the end of its message loop.
#pragma once
#include <windows.h>

// The text after the program's path on a command line: a quoted path ends at its closing
// quote, an unquoted one at the first blank or control character; the blanks and control
// characters after it are skipped too.
const char* ArgumentText(const char* commandLine);

// The launch letter of a command line: 's' or 'u' when the argument text begins with it (lower
// case only), else 0.
char LaunchLetter(const char* commandLine);

// The running copy's main dialog: a top-level dialog titled PROGRAM_TITLE that holds the
// server list, in an elevated process (servers/running_copy.h). Null when there is none.
HWND FindRunningCopy();

// Steps 1 to 13 of the start: returns the exit code, always 0.
int RunProgram(HINSTANCE instance, const char* commandLine);
