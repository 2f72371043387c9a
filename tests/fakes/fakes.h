// Recording stand-ins for the user interface and the process shell, linked into the native
// tests and the Win32 suites in place of the real window code.
#pragma once

#include "ui/tray.h"

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
};
extern FakeLog fakeLog;

// Clears the log and the window state the fakes stand for.
void ResetFakes();

// Puts every global of the logic back to its start value, each module's through the reset
// that the module owns.
void ResetLogicGlobals();
