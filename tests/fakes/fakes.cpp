#include "tests/fakes/fakes.h"

#include <cstdio>
#include <cstring>

#include "query/correction.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/list_display.h"
#include "servers/install.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "servers/waits.h"
#include "time/fatal.h"
#include "time/timebase.h"

FakeLog fakeLog;

static int fakeDialog;
WindowHandle mainDialog = &fakeDialog;

void ResetFakes() {
    memset(&fakeLog, 0, sizeof fakeLog);
    mainDialog = &fakeDialog;
}

void ResetLogicGlobals() {
    ResetTimebaseGlobals();
    ResetServerTableGlobals();
    ResetSettingsGlobals();
    ResetInstallGlobals();
    ResetQueryGlobals();
    ResetCorrectionGlobals();
    ResetScheduleGlobals();
    ResetWaitGlobals();
}

// The real one never returns on its first call; the fake returns like a second call does, so
// tests also show that callers cope with that.
void FatalError(const char* text) {
    fakeLog.fatalCount++;
    snprintf(fakeLog.fatalText, sizeof fakeLog.fatalText, "%s", text);
}

void RefreshListRows(bool textsOnly) {
    (textsOnly ? fakeLog.refreshTextsCount : fakeLog.refreshFullCount)++;
    for (QuerySession& session : querySessions) {
        session.dirty = 0;
    }
}

void RefreshDirtyRows() {
    fakeLog.refreshDirtyCount++;
    for (const QuerySession& session : querySessions) {
        if (session.dirty) {
            RefreshListRows(true);
            SortRows();
            break;
        }
    }
}

void SortRows() {
    fakeLog.sortCount++;
}

// Stands for the window's record of the icon; the shell refuses one without a window.
static const uint8_t noIcon[1024] = {};

void UpdateTrayStatus(TrayMode mode) {
    fakeLog.trayCount++;
    WaitForTray(1 /* modify */, noIcon);
    fakeLog.lastTrayMode = mode;
    PlatformKillTimer(mainDialog, TIMER_BUSY);
    if (mode != TrayIdle) {
        PlatformSetTimer(mainDialog, TIMER_BUSY, BUSY_PERIOD_MS);
        lastRunFailed = 0;
    }
}

void AnimateTrayStep() {
    fakeLog.animateCount++;
    WaitForTray(1 /* modify */, noIcon);
}

void HandleOutsideMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case FAKE_WM_COMMAND:
        if ((wParam & 0xFFFF) == FAKE_IDOK) {
            PressRunButton();
        } else if ((wParam & 0xFFFF) == FAKE_ID_RUN_IF_IDLE) {
            RunIfIdle();
        }
        break;
    case FAKE_WM_TRAY_NOTIFY:
        fakeLog.trayClickCount++;
        WaitForMenu(mainDialog, nullptr, 0, 0);
        break;
    default:
        HandleEngineMessage(message, wParam, lParam);
        break;
    }
}

// As the window's end: its destruction tears down, then the handle is gone.
void ExitProgram() {
    if (mainDialog == nullptr) {
        return;
    }
    fakeLog.exitCount++;
    PlatformKillTimer(mainDialog, TIMER_CLOCK);
    StopRuns();
    PlatformKillTimer(mainDialog, TIMER_QUIT);
    PlatformKillTimer(mainDialog, TIMER_BUSY);
    PlatformKillTimer(mainDialog, TIMER_RETRY);
    PlatformDestroyWindow(mainDialog);
    mainDialog = nullptr;
}

void ShowRunButton(TrayMode mode) {
    fakeLog.runButtonCount++;
    fakeLog.runButton = mode;
}

void ShowScheduleLabel(const char* label) {
    snprintf(fakeLog.scheduleLabel, sizeof fakeLog.scheduleLabel, "%s", label);
}

bool WindowShown() {
    return !fakeLog.windowHidden;
}

void ShowClockText(const char* text) {
    if (strcmp(fakeLog.clockText, text) != 0) {
        fakeLog.clockTextCount++;
        snprintf(fakeLog.clockText, sizeof fakeLog.clockText, "%s", text);
    }
}
