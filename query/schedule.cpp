#include "query/schedule.h"

#include <cstdint>
#include <cstdio>

#include "query/correction.h"
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

const uint32_t RETRY_GAPS_MS[RETRY_GAP_COUNT] = {60000, 120000, 240000, 480000, 960000, 1800000};

int32_t scheduleIndex = 0;
int64_t scheduleIntervalMs = 0;
Ms1900 lastRunTime = 0;
uint8_t quitAfterCorrection = 0;
char launchMode = 0;
RetryState retry = {};
// What the automatic start was last set to in this process: -1 not yet, else 0 or 1.
static int autoStartAsked = -1;

void ResetScheduleGlobals() {
    scheduleIndex = 0;
    scheduleIntervalMs = 0;
    lastRunTime = 0;
    quitAfterCorrection = 0;
    launchMode = 0;
    autoStartAsked = -1;
    retry = {};
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
    // A last correction a little ahead counts as now: a run comes an interval from the start
    // at the latest.
    const Ms1900 now = NowMs();
    if (lastRunTime > now && lastRunTime - now <= FUTURE_SLACK_MS) {
        lastRunTime = now;
    }
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

// ---- trying again ----

static int MinutesLeft() {
    const uint32_t passed = ReadTickMs() - retry.from;
    const uint32_t left = passed >= retry.gapMs ? 0 : retry.gapMs - passed;
    const uint32_t minutes = (left + 59999) / 60000;
    return minutes == 0 ? 1 : static_cast<int>(minutes);
}

// The status says what is pending only while no run shows its own state.
static void ShowRetry() {
    retry.minutesShown = retry.pending && retry.reason != ReasonNone ? MinutesLeft() : 0;
    if (!RunGoingOn()) {
        UpdateTrayStatus(TrayIdle);
    }
}

static void ArmRetry(TickMs from, uint32_t gapMs) {
    retry.pending = true;
    retry.from = from;
    retry.gapMs = gapMs;
    const uint32_t passed = ReadTickMs() - from;
    PlatformSetTimer(mainDialog, TIMER_RETRY, passed >= gapMs ? 0 : gapMs - passed);
}

static void EndRetry() {
    const bool shown = retry.pending && retry.reason != ReasonNone;
    if (retry.pending) {
        PlatformKillTimer(mainDialog, TIMER_RETRY);
    }
    retry = {};
    if (shown && !RunGoingOn()) {
        UpdateTrayStatus(TrayIdle);
    }
}

static int32_t FailureReason() {
    if (lastRunOutcome == OutcomeRefused) {
        return ReasonRefused;
    }
    if (runNetFacts.connects == 0 && runNetFacts.lookupsFailed > 0) {
        return ReasonNetDown;
    }
    if (runNetFacts.connects > 0 && runNetFacts.connectsTimedOut == runNetFacts.connects) {
        return ReasonBlocked;
    }
    return ReasonNoServer;
}

// Nothing here waits: the run's end shows the state right after.
void NoteCorrectionRunOver(bool automatic, bool stopped) {
    const int32_t outcome = lastRunOutcome;
    // A success starts the ladder afresh; a clock that may not be set stays so however often
    // it is tried, and the status says so instead.
    if (outcome == OutcomeCorrected || outcome == OutcomeNotPermitted) {
        if (retry.pending) {
            PlatformKillTimer(mainDialog, TIMER_RETRY);
        }
        retry = {};
        return;
    }
    // The user's own run failed on the screen; a try that was pending stays as it was.
    if (!automatic) {
        return;
    }
    const TickMs now = ReadTickMs();
    if (retry.failures == 0 && retry.reason == ReasonNone) {
        retry.firstAt = now;
    }
    if (stopped) {
        // No failure, so the ladder stays on its rung; but the run is still owed.
        retry.reason = retry.reason != ReasonNone ? retry.reason : ReasonStopped;
    } else {
        retry.failures++;
        retry.reason = FailureReason();
    }
    const int rung = retry.failures == 0 ? 0 : retry.failures - 1;
    uint32_t gap = RETRY_GAPS_MS[rung < RETRY_GAP_COUNT ? rung : RETRY_GAP_COUNT - 1];
    if (scheduleIntervalMs > 0 && gap > scheduleIntervalMs) {
        gap = static_cast<uint32_t>(scheduleIntervalMs);
    }
    // Without a schedule the tries were for one correction, at launch or asked for: after a
    // day they end, and so does a program that was to end after that correction.
    if (scheduleIntervalMs == 0 && now - retry.firstAt + uint64_t{gap} > RETRY_GIVE_UP_MS) {
        retry = {};
        PlatformKillTimer(mainDialog, TIMER_RETRY);
        if (quitAfterCorrection) {
            PlatformSetTimer(mainDialog, TIMER_QUIT, QUIT_DELAY_MS);
        }
        return;
    }
    ArmRetry(now, gap);
    retry.minutesShown = retry.reason != ReasonNone ? MinutesLeft() : 0;
}

static bool RetryDue() {
    return retry.pending && ReadTickMs() - retry.from >= retry.gapMs;
}

// The try that is due, unless a run goes on (its end decides what follows).
static void TryAgain(uint32_t timerId) {
    if (RunGoingOn()) {
        return;
    }
    // A timer inside a box or menu: the run starts once the wait is over, not under its caller.
    if (InsideWait()) {
        OnOutsideMessage(PLATFORM_WM_TIMER, timerId, 0);
        return;
    }
    retry.pending = false;
    PlatformKillTimer(mainDialog, TIMER_RETRY);
    StartAutomaticRun();
}

void OnRetryTimer() {
    PlatformKillTimer(mainDialog, TIMER_RETRY);
    if (!retry.pending) {
        return;
    }
    if (!RetryDue()) {
        ArmRetry(retry.from, retry.gapMs);
        return;
    }
    TryAgain(TIMER_RETRY);
}

bool RetryTexts(char* status, int statusSize, char* tip, int tipSize) {
    if (!retry.pending || retry.reason == ReasonNone) {
        if (retry.pending || lastRunOutcome != OutcomeNotPermitted) {
            return false;
        }
        snprintf(status, statusSize, "%s", "Not allowed to set the clock; no retry");
        snprintf(tip, tipSize, "%s", status);
        return true;
    }
    const char* said = "No server answered";
    const char* tipSaid = said;
    switch (retry.reason) {
    case ReasonBlocked:
        said = "Port 37 may be blocked";
        tipSaid = "Outgoing TCP port 37 may be blocked";
        break;
    case ReasonNetDown:
        said = tipSaid = "Network seems down";
        break;
    case ReasonRefused:
        said = tipSaid = "Large step refused";
        break;
    case ReasonStopped:
        said = tipSaid = "Stopped";
        break;
    default:
        break;
    }
    const int minutes = MinutesLeft();
    snprintf(status, statusSize, "%s; next try in %d min", said, minutes);
    snprintf(tip, tipSize, "%s; next try in %d min", tipSaid, minutes);
    return true;
}

// lastRunTime stays where it was, so a shorter interval can make a run due at the next tick:
// the new schedule counts from the last success. A pending try was the old schedule's.
void OnScheduleSlider(int32_t position) {
    scheduleIndex = position;
    WriteSetting("Schedule", &scheduleIndex, sizeof scheduleIndex);
    ApplySchedule();
    EndRetry();
}

// A last success well in the future means the clock went back since.
static bool ClockWentBack(Ms1900 now) {
    return lastRunTime > now && lastRunTime - now > FUTURE_SLACK_MS;
}

// A last success well in the future means the clock went back since: the clock needs a run
// most then. A little ahead, as a small step of another time service leaves it, it counts as
// now, so that the schedule still comes at the latest an interval from here. Then a stored
// last correction, eight bytes from the registry that may be anything, cannot overflow.
static bool ScheduleDue(Ms1900 now) {
    if (ClockWentBack(now)) {
        return true;
    }
    if (lastRunTime > now) {
        lastRunTime = now;
    }
    if (lastRunTime > INT64_MAX - scheduleIntervalMs) {
        return false;
    }
    return now >= lastRunTime + scheduleIntervalMs;
}

// Hidden, the tick only asks whether a run is due: nobody sees the clock's text. A pending try
// stands in for the schedule's check, and its minutes are shown as they change.
void OnClockTimer() {
    HandOnOutsideQueue();
    const Ms1900 now = NowMs();
    if (WindowShown()) {
        char text[DATE_TIME_TEXT_SIZE];
        FormatDateTime(now, text);
        ShowClockText(text);
    }
    if (retry.pending) {
        if (RetryDue()) {
            TryAgain(TIMER_CLOCK);
        } else if (retry.minutesShown != 0 && MinutesLeft() != retry.minutesShown) {
            ShowRetry();
        }
        return;
    }
    // A due run that finds another one going is not remembered; the next tick asks again.
    if (scheduleIntervalMs == 0 || RunGoingOn() || !ScheduleDue(now)) {
        return;
    }
    // A tick inside a box or menu: the run starts once the wait is over, not under its caller.
    if (InsideWait()) {
        OnOutsideMessage(PLATFORM_WM_TIMER, TIMER_CLOCK, 0);
        return;
    }
    StartAutomaticRun();
}

// ---- sleep and resume ----

static bool IsResume(uintptr_t event) {
    return event == POWER_RESUME_AUTOMATIC || event == POWER_RESUME_SUSPEND ||
           event == POWER_RESUME_CRITICAL;
}

// The moment of the resume is taken as it arrives; what it starts may wait behind a box.
void OnPowerBroadcast(uintptr_t event) {
    if (event != POWER_SUSPEND && !IsResume(event)) {
        return;
    }
    OnOutsideMessage(WM_POWER_EVENT, event, static_cast<intptr_t>(ReadTickMs()));
}

// Samples taken across a sleep would straddle it, so the run stops. After the resume, the
// network usually needs a while; the run (or the pending try) comes 20 s after it.
void OnPowerEvent(uintptr_t event, TickMs arrivedAt) {
    if (event == POWER_SUSPEND) {
        if (RunGoingOn()) {
            StopRuns();
        }
        return;
    }
    if (!IsResume(event)) {
        return;
    }
    bool due = retry.pending;
    if (scheduleIntervalMs > 0) {
        const Ms1900 now = NowMs();
        const int64_t stale =
            scheduleIntervalMs < RESUME_STALE_MS ? scheduleIntervalMs : RESUME_STALE_MS;
        due = due || ClockWentBack(now) || lastRunTime < now - stale;
    }
    // The network comes back after a resume, usually within a minute: the ladder starts again
    // from its first rung, though a launch's day of tries still counts from its first.
    if (due) {
        retry.failures = 0;
        ArmRetry(arrivedAt, RESUME_DELAY_MS);
        if (retry.minutesShown != 0) {
            ShowRetry();
        }
    }
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
        StartAutomaticRun();
    }
}
