// Recording stand-ins for the user interface and the process shell, linked into the native
// tests in place of the real window code.
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

// Puts every global of the logic back to its start value: the server table, the query
// sessions, the run counters, the settings mirrors and the schedule state.
void ResetLogicGlobals();

// The work of the main window's busy timer, in its order: the tray's animation, the run's
// deadline, the list's refresh.
void BusyTick();
