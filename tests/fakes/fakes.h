// The recording implementation of what the logic asks of the outside (query/display.h,
// servers/list_display.h, servers/waits.h, time/fatal.h), linked into the native tests and the
// engine's Win32 suites in place of the real window code and program shell. Like the window,
// it shows the tray through the tray's named wait.
#pragma once

#include <cstdint>

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
    int trayClickCount; // tray callbacks handled; each opens the tray menu, as the window's does
    int exitCount;
    bool windowHidden; // the window the fakes stand for is hidden
};

// The window's messages that the fakes handle from outside, as the window does: its commands
// (the run button, a second copy's request for a run) and the tray icon's callback.
constexpr uint32_t FAKE_WM_COMMAND = 0x0111;
constexpr uint32_t FAKE_WM_TRAY_NOTIFY = 1024;
constexpr uintptr_t FAKE_IDOK = 1;
constexpr uintptr_t FAKE_ID_RUN_IF_IDLE = 6;
extern FakeLog fakeLog;

// Clears the log and the window state the fakes stand for.
void ResetFakes();

// Puts every global of the logic back to its start value, each module's through the reset
// that the module owns.
void ResetLogicGlobals();
