#include "query/schedule.h"

#include <cstdint>

#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "servers/settings.h"
#include "servers/waits.h"

// Position 0 doubles as the row for any index outside the table.
const ScheduleEntry SCHEDULE_TABLE[SCHEDULE_COUNT] = {
    {"No Scheduled Interval", 0}, {"On Startup", 0},           {"Every 5 Minutes", 300000},
    {"Every 15 Minutes", 900000}, {"Hourly", 3600000},         {"Every Six Hours", 21600000},
    {"Daily", 86400000},          {"Every 3 Days", 259200000}, {"Weekly", 604800000},
    {"Monthly", 2592000000},
};

int32_t scheduleIndex = 0;
int64_t scheduleIntervalMs = 0;
Ms1900 lastRunTime = 0;
uint8_t quitAfterCorrection = 0;
char launchMode = 0;
// What the automatic start was last set to in this process: -1 not yet, else 0 or 1.
static int autoStartAsked = -1;

void ResetScheduleGlobals() {
    scheduleIndex = 0;
    scheduleIntervalMs = 0;
    lastRunTime = 0;
    quitAfterCorrection = 0;
    launchMode = 0;
    autoStartAsked = -1;
}

// The automatic start follows the raw index, not the row: a stored index out of range still
// means someone chose a schedule.
static int AutoStartWanted() {
    return scheduleIndex != 0 ? 1 : 0;
}

static void ShowSchedule() {
    const bool known = scheduleIndex >= 1 && scheduleIndex < SCHEDULE_COUNT;
    const ScheduleEntry& entry = SCHEDULE_TABLE[known ? scheduleIndex : 0];
    scheduleIntervalMs = entry.intervalMs;
    ShowScheduleLabel(entry.label);
}

// What the start finds stored was chosen before, and registered then: the start only asks,
// later, whether the task is still there and right, and with or without a schedule whether
// anything found starts a file that a standard user can change. Should the post fail, the
// automatic start stays as it was.
void InitSchedule() {
    ShowSchedule();
    autoStartAsked = AutoStartWanted();
    WriteUninstallEntry();
    PlatformPostMessage(mainDialog, WM_CHECK_AUTO_START, 0, 0);
}

// Registered only when a schedule is chosen or given up: registering the logon task is a call
// into the Task Scheduler, and a drag of the slider sends a scroll message for every position
// it passes.
void ApplySchedule() {
    ShowSchedule();
    const int enable = AutoStartWanted();
    if (enable != autoStartAsked) {
        autoStartAsked = enable;
        RegisterAutoStart(enable != 0);
    }
}

// The schedule may have been given up between the post and now; then so was the start.
void OnCheckAutoStart() {
    CheckAutoStart(AutoStartWanted() != 0);
}

// lastRunTime stays where it was, so a shorter interval can make a run due at the next tick.
void OnScheduleSlider(int32_t position) {
    scheduleIndex = position;
    WriteSetting("Schedule", &scheduleIndex, sizeof scheduleIndex);
    ApplySchedule();
}

// A stored last correction is eight bytes from the registry and may be anything; a time so
// late that adding the interval would overflow simply never falls due.
static bool ScheduleDue(Ms1900 now) {
    if (lastRunTime > INT64_MAX - scheduleIntervalMs) {
        return false;
    }
    return now >= lastRunTime + scheduleIntervalMs;
}

void OnClockTimer() {
    const Ms1900 now = NowMs();
    char text[DATE_TIME_TEXT_SIZE];
    FormatDateTime(now, text);
    ShowClockText(text);
    // A due run that finds another one going is not remembered; the next tick asks again.
    if (scheduleIntervalMs == 0 || RunGoingOn() || !ScheduleDue(now)) {
        return;
    }
    // A tick inside a box or menu: the run starts once the wait is over, not under its caller.
    if (InsideWait()) {
        OnOutsideMessage(PLATFORM_WM_TIMER, TIMER_CLOCK, 0);
        return;
    }
    StartCorrectionRun();
}

void OnQuitTimer() {
    PlatformKillTimer(mainDialog, TIMER_QUIT);
    if (quitAfterCorrection) {
        RequestExit();
    }
}

// Started for one correction only ("On Startup", or no schedule at all), the program ends
// after it; with a periodic schedule it stays to serve it.
void LaunchTrigger() {
    if (RunGoingOn()) {
        return;
    }
    if (correctOnLaunch || (launchMode == 's' && scheduleIndex == 1)) {
        quitAfterCorrection = scheduleIndex <= 1;
        StartCorrectionRun();
    }
}
