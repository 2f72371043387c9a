// The recording implementation of what the logic asks of the outside (query/display.h,
// servers/list_display.h, time/fatal.h), linked into the native tests and the engine's Win32
// suites in place of the real window code and program shell.
#pragma once

#include "query/display.h"

struct FakeLog {
    int fatalCount;
    char fatalText[128];
    int refreshFullCount;
    int refreshTextsCount;
    int refreshDirtyCount;
    int sortCount;
    int trayCount;
    TrayMode lastTrayMode;
    int animateCount;
    int runButtonCount;
    TrayMode runButton; // the state the run button was last shown in
    char scheduleLabel[64];
    char clockText[64];
    int clockTextCount; // texts actually set: an unchanged one is not
};
extern FakeLog fakeLog;

// Clears the log and the window state the fakes stand for.
void ResetFakes();

// Puts every global of the logic back to its start value, each module's through the reset
// that the module owns.
void ResetLogicGlobals();
