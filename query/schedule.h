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
