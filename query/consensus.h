// The arithmetic of a run: samples from answers, a server's result from its samples, and the
// consensus of the servers that moves the clock.
#pragma once
#include <cstdint>

#include "time/timebase.h"

constexpr int FAST_SAMPLE_COUNT = 4;
constexpr int64_t OUTLIER_LIMIT_MS = 2000;
constexpr uint32_t QUIT_DELAY_MS = 10000;

extern uint8_t lastRunFailed;

// Records sample sampleIndex of the slot from the server's 32-bit seconds.
void RecordSample(int slot, uint32_t serverSeconds);
// The server's seconds as milliseconds since 1900, in the 136-year era nearest to now.
Ms1900 AnswerToMs1900(uint32_t serverSeconds, Ms1900 now);
void ReduceSamples(int slot);
bool ApplyConsensus();

// Puts this module's globals back to their start values (for tests).
void ResetConsensusGlobals();
