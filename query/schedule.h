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

void ApplySchedule();
void OnScheduleSlider(int32_t position);
void OnClockTimer();
void OnQuitTimer();
void LaunchTrigger();

// Puts this module's globals back to their start values (for tests).
void ResetScheduleGlobals();
