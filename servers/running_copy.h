// The copy of the program that is already running, if any.
//
// The program always runs elevated, so a running copy is an elevated process: a dialog with the
// program's title and server list in a process below high integrity is some other program's
// (any unelevated program may make one), and one whose process cannot be opened to ask is not
// trusted either. Neither may stop this start, take its uninstall's exit or hand it a command.
// Here rather than with the program's entry, so that the simulation can show it: under Wine
// every process reads as high integrity.
#pragma once
#include <cstdint>

#include "platform/window.h"

// The first dialog titled title that holds the control of id list, in an elevated process;
// null when there is none.
WindowHandle FindRunningCopy(const char* title, int32_t list);
