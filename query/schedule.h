// When correction runs start: the schedule, the launch run and the quit after a silent run.
#pragma once
#include <cstdint>

#include "time/timebase.h"

constexpr int SCHEDULE_COUNT = 10;

struct ScheduleEntry {
    const char* label;
    int64_t intervalMs;
};
extern const ScheduleEntry SCHEDULE_TABLE[SCHEDULE_COUNT];

extern int32_t scheduleIndex;
extern int64_t scheduleIntervalMs;
extern Ms1900 lastRunTime;
extern uint8_t quitAfterCorrection;
extern char launchMode; // 's', 'u' or 0

// Posted at every start, so that the automatic start is checked once the window is up and
// never in the start's own path (the Task Scheduler is a COM server).
constexpr uint32_t WM_CHECK_AUTO_START = 1041;
// A power event handed on from the window, possibly later through the queue of outside
// messages (servers/waits.h): wParam = the event (platform/window.h), lParam = the tick at
// which it arrived.
constexpr uint32_t WM_POWER_EVENT = 1042;

// ---- trying again ----
// An automatic run (the launch, the schedule, a resume, a second copy's request) that fails
// is tried again after gaps of 1, 2, 4, 8, 16 and 30 minutes, then every 30, each counted on
// the tick from the end of the failed try; with a periodic schedule no gap is longer than its
// interval. A run fails when no server counted or its step was refused. While a try is
// pending it stands in for the schedule's due check; a success ends it and starts the ladder
// afresh. Without a periodic schedule the tries go on for a day at most.
constexpr int RETRY_GAP_COUNT = 6;
extern const uint32_t RETRY_GAPS_MS[RETRY_GAP_COUNT];
constexpr uint32_t RETRY_GIVE_UP_MS = 24 * 3600000;
// After a resume the network gets this long to come back before the run.
constexpr uint32_t RESUME_DELAY_MS = 20000;
// A resume makes a run due when the last success is older than the interval or this.
constexpr int64_t RESUME_STALE_MS = 3600000;
// A last success further ahead than this means the clock went back since; nearer, it counts
// as now.
constexpr int64_t FUTURE_SLACK_MS = 300000;

// What the status says is wrong while a try is pending.
enum RetryReason : int32_t {
    ReasonNone = 0,     // nothing said (a resume's run, not yet failed)
    ReasonNoServer = 1, // no server answered
    ReasonBlocked = 2,  // every connection timed out: port 37 may be blocked on the way out
    ReasonNetDown = 3,  // no name could be looked up
    ReasonRefused = 4,  // the step was refused
    ReasonStopped = 5,  // the run was stopped
};
struct RetryState {
    bool pending;
    int32_t failures;     // failed automatic tries since the last success or resume: the rung
    TickMs from;          // the tick at which the gap began
    uint32_t gapMs;       // the gap before the next try
    TickMs firstAt;       // the end of the first failed try of the ladder
    int32_t reason;       // a RetryReason
    int32_t minutesShown; // the minutes the status last said; 0 none
};
extern RetryState retry;

// At the end of every correction run, before it is shown: the try again, or its end. automatic
// and stopped as query/query.h keeps them; the outcome is lastRunOutcome (query/correction.h).
void NoteCorrectionRunOver(bool automatic, bool stopped);
// TIMER_RETRY: the pending try, when its gap has passed.
void OnRetryTimer();
// The status line's and the tip's texts while a try is pending, or when the clock cannot be
// set for lack of privilege; false when there is nothing of the kind to say. The status text
// fits about 45 characters, the tip's 63.
bool RetryTexts(char* status, int statusSize, char* tip, int tipSize);

// WM_POWERBROADCAST as it arrives: noted with the tick now, and handed on as WM_POWER_EVENT
// through the queue of outside messages.
void OnPowerBroadcast(uintptr_t event);
// A suspend stops the run going on; a resume makes a run due 20 s after it when the last
// success is stale, or brings a pending try forward to then and the ladder back to its start.
void OnPowerEvent(uintptr_t event, TickMs arrivedAt);

// At the start of the window: the interval and label of the stored position and the
// uninstall entry. No call into the Task Scheduler: WM_CHECK_AUTO_START is posted for the
// check (OnCheckAutoStart).
void InitSchedule();
// After the slider moved: the interval and label, and the automatic start registered or
// removed when a schedule was chosen or given up.
void ApplySchedule();
void OnCheckAutoStart();
void OnScheduleSlider(int32_t position);
void OnClockTimer();
void OnQuitTimer();
void LaunchTrigger();

// Puts this module's globals back to their start values (for tests).
void ResetScheduleGlobals();
