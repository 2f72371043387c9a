#include "query/schedule.h"

int32_t scheduleIndex = 0;
int64_t scheduleIntervalMs = 0;
Ms1900 lastRunTime = 0;
uint8_t quitAfterCorrection = 0;
char launchMode = 0;

void OnClockTimer() {}
void OnQuitTimer() {}
