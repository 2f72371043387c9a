// What arrives inside each call that waits. Every cell runs a scenario twice: once with the
// intrusion arriving inside the wait, once with it arriving just after the outermost wait has
// returned. Both worlds must end alike (statuses, correction, clock, exit), and all along every
// run going on has its deadline, the display follows the run counters and no call names a
// destroyed window.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/sim.h"
#include "query/correction.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "servers/waits.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

constexpr intptr_t LEFT_BUTTON_DOWN = 0x0201;
constexpr int SERVERS = 3;

enum Intrusion { RunRequest, Exit, TrayClick, SessionEnd, Button, QuitTick, ScheduleTick };
const char* const INTRUSION_NAMES[] = {"a second copy's run request",
                                       "the exit",
                                       "the tray callback",
                                       "WM_ENDSESSION",
                                       "the button",
                                       "the quit timer",
                                       "the schedule"};

Intrusion intrusion;
bool insideWait; // world A; world B delivers just after the wait
int hooksRun;
int triggerAt; // the hook acts at this call of its wait

void Intrude() {
    switch (intrusion) {
    case RunRequest:
        OnOutsideMessage(FAKE_WM_COMMAND, FAKE_ID_RUN_IF_IDLE, 0);
        break;
    case Exit:
        RequestExit();
        break;
    case TrayClick:
        OnOutsideMessage(FAKE_WM_TRAY_NOTIFY, 0, LEFT_BUTTON_DOWN);
        break;
    case SessionEnd:
        OnSessionEnding();
        break;
    case Button:
        OnOutsideMessage(FAKE_WM_COMMAND, FAKE_IDOK, 0);
        break;
    case QuitTick:
        quitAfterCorrection = 1;
        HandleEngineMessage(PLATFORM_WM_TIMER, TIMER_QUIT, 0);
        break;
    case ScheduleTick:
        scheduleIntervalMs = 300000;
        lastRunTime = 0;
        HandleEngineMessage(PLATFORM_WM_TIMER, TIMER_CLOCK, 0);
        break;
    }
}

// What a box's or a menu's own message loop does while it is open: the run goes on.
bool pumpInside;
bool deliveryDue;

// A trigger of 0 acts at the first call after the end of a run has set the clock: the end's
// own tray call.
template <SimWait W> void Hook() {
    if (triggerAt == 0 ? hooksRun > 0 || SimClockSetCount() == 0 : ++hooksRun != triggerAt) {
        return;
    }
    hooksRun += triggerAt == 0;
    if (pumpInside) {
        RunFor(8000);
    }
    if (insideWait) {
        Intrude();
    } else {
        deliveryDue = true;
        SimScheduleCall(
            0,
            [](uintptr_t) {
                deliveryDue = false;
                Intrude();
            },
            0);
    }
}

uint32_t Local(int n) {
    return SimAddress(127, 0, 0, n);
}

void Serve(int n, uint32_t answerMs) {
    SimAddServer(Local(n), SimServer{SIM_ANSWER, 1500, 1, answerMs, -1});
    char name[24];
    snprintf(name, sizeof name, "127.0.0.%d", n);
    AddServer(name);
}

// Servers 0 and 1 answer after the answer deadline, server 2 at once: the deadline's sweep
// ends the first two, the last of them ending the run.
void SweptRun() {
    Serve(2, ANSWER_WAIT_MS + 5000);
    Serve(3, ANSWER_WAIT_MS + 5000);
    Serve(4, 5);
    StartCorrectionRun();
}

void StoppedRun() {
    SweptRun();
    SimScheduleCall(
        3000, [](uintptr_t) { PressRunButton(); }, 0);
}

void BusyRun() {
    for (int n = 2; n < 2 + SERVERS; n++) {
        Serve(n, 300);
    }
    StartCorrectionRun();
}

// A box or a menu of the window, opened while a run goes on; like the tray menu, its caller
// posts to the window once it has returned.
template <void (*Open)()> void WaitDuringRun() {
    BusyRun();
    SimScheduleCall(
        500,
        [](uintptr_t) {
            const WindowHandle owner = mainDialog;
            Open();
            PlatformPostMessage(owner, 0 /* WM_NULL */, 0, 0);
        },
        0);
}
void OpenBox() {
    WaitForBox(mainDialog, "a question", "Note!", BOX_YESNO);
}
void OpenMenu() {
    WaitForMenu(mainDialog, nullptr, 0, 0);
}

// The slider moved during a run asks the Task Scheduler for the logon task.
void SliderDuringRun() {
    BusyRun();
    SimScheduleCall(
        500, [](uintptr_t) { OnScheduleSlider(4); }, 0);
}

struct WaitRow {
    const char* name;
    SimWait wait;
    void (*scenario)();
    int trigger;    // which call of the wait the intrusion arrives in; 0: the end of the run
    bool boxOrMenu; // the intrusions of the user and the timers reach only these
};

const WaitRow WAITS[] = {
    // The announcement of the new time waits for nobody; the tray's call at the end of the run
    // still does.
    {"tray call at the end of a run swept by its deadline", SIM_WAIT_TRAY, SweptRun, 0, false},
    {"tray call at the end of a stopped run", SIM_WAIT_TRAY, StoppedRun, 0, false},
    {"tray call on a busy tick", SIM_WAIT_TRAY, BusyRun, 4, false},
    {"message box during a run", SIM_WAIT_BOX, WaitDuringRun<OpenBox>, 1, true},
    {"menu during a run", SIM_WAIT_MENU, WaitDuringRun<OpenMenu>, 1, true},
    {"Task Scheduler call during a run", SIM_WAIT_TASK, SliderDuringRun, 1, false},
};

struct Outcome {
    int32_t status[SERVERS];
    int64_t correction;
    int clockSets;
    int exits;
    int trayClicks;
    int connections;
};

void CheckInvariants() {
    if (mainDialog == nullptr) {
        return;
    }
    if (activeQueries > 0) {
        EXPECT_TRUE(SimTimerActive(TIMER_BUSY)) << "a run without its deadline";
    }
    const TrayMode shown = !RunGoingOn() ? TrayIdle : testOnly ? TrayTesting : TrayChecking;
    EXPECT_EQ(fakeLog.lastTrayMode, shown);
    EXPECT_EQ(fakeLog.runButton, shown);
}

Outcome RunCell(const WaitRow& row, Intrusion what, bool inside) {
    ResetWorld();
    SimSetCounter(0, 1000);
    SimSetMisuseHandler([](const char* what) { ADD_FAILURE() << what; });
    const uint32_t noSpacing = 0;
    WriteSetting("SampleSpacing", &noSpacing, sizeof noSpacing);
    intrusion = what;
    insideWait = inside;
    hooksRun = 0;
    triggerAt = row.trigger;
    pumpInside = row.boxOrMenu;
    SimSetWaitHook(row.wait, row.wait == SIM_WAIT_TRAY   ? Hook<SIM_WAIT_TRAY>
                             : row.wait == SIM_WAIT_BOX  ? Hook<SIM_WAIT_BOX>
                             : row.wait == SIM_WAIT_MENU ? Hook<SIM_WAIT_MENU>
                                                         : Hook<SIM_WAIT_TASK>);
    row.scenario();
    SimMessage m;
    const uint64_t end = SimElapsedMs() + 300000;
    deliveryDue = false;
    while ((!Settled() || deliveryDue) && SimNextMessage(end - SimElapsedMs(), &m)) {
        DispatchMessage(m.message, m.wParam, m.lParam);
        CheckInvariants();
    }
    EXPECT_TRUE(Settled());
    EXPECT_GE(hooksRun, row.trigger == 0 ? 1 : row.trigger) << "the wait never came";
    EXPECT_FALSE(InsideWait());
    Outcome o = {};
    for (int slot = 0; slot < SERVERS; slot++) {
        o.status[slot] = StoredStatus(slot);
        o.connections += SimConnectCount(Local(2 + slot));
    }
    o.correction = lastCorrectionValue;
    o.clockSets = SimClockSetCount();
    o.exits = fakeLog.exitCount;
    o.trayClicks = fakeLog.trayClickCount;
    return o;
}

TEST(Waits, WhatArrivesInsideAWaitRunsAfterItAsItWouldHaveThen) {
    for (const WaitRow& row : WAITS) {
        for (int what = RunRequest; what <= ScheduleTick; what++) {
            if (what >= Button && !row.boxOrMenu) {
                continue; // the user's input and our timers reach only boxes and menus
            }
            SCOPED_TRACE(std::string(row.name) + ", " + INTRUSION_NAMES[what]);
            const Outcome after = RunCell(row, static_cast<Intrusion>(what), false);
            const Outcome inside = RunCell(row, static_cast<Intrusion>(what), true);
            for (int slot = 0; slot < SERVERS; slot++) {
                EXPECT_EQ(inside.status[slot], after.status[slot]) << "slot " << slot;
            }
            EXPECT_EQ(inside.correction, after.correction);
            EXPECT_EQ(inside.clockSets, after.clockSets);
            EXPECT_EQ(inside.exits, after.exits);
            EXPECT_EQ(inside.trayClicks, after.trayClicks);
            EXPECT_EQ(inside.connections, after.connections);
            // What was asked for was carried out, or ignored as during a run.
            EXPECT_EQ(inside.exits, what == Exit || what == SessionEnd || what == QuitTick);
            EXPECT_EQ(inside.trayClicks, what == TrayClick && inside.exits == 0);
            // Whoever keeps reopening a menu holds what is queued a minute at a time at most.
            if (row.wait == SIM_WAIT_MENU) {
                EXPECT_EQ(SimLastMenuLife(), 60000u);
            }
        }
    }
}

// The two runs of the deadline's sweep and of a stop: a run asked for inside the end of the
// first begins after it, whole, and its fast server counts.
TEST(Waits, ARunAskedForInsideTheEndOfAnotherRunsWhole) {
    for (int row = 0; row < 2; row++) {
        SCOPED_TRACE(WAITS[row].name);
        const Outcome o = RunCell(WAITS[row], RunRequest, true);
        EXPECT_EQ(o.status[2], Used) << "the second run lost its higher slot";
        EXPECT_EQ(o.clockSets, 2);
        EXPECT_EQ(SimBroadcastCount(), 2);
        EXPECT_EQ(SimConnectCount(Local(4)), 2 * SAMPLE_COUNT);
    }
}

} // namespace
