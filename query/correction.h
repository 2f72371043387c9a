// The effects of the arithmetic in query/consensus.h: each answer becomes a sample of its
// query, seven samples the server's stored result, and the consensus of a correction run moves
// the clock, is recorded and announced.
#pragma once
#include <cstdint>

constexpr uint32_t QUIT_DELAY_MS = 10000;

extern uint8_t lastRunFailed;

// Records sample sampleIndex of the slot from the server's 32-bit seconds, read just now.
void RecordSample(int slot, uint32_t serverSeconds);
// Reduces the slot's seven samples into its record and ends its query.
void ReduceSamples(int slot);
// Rejects the outliers among the servers of this run and sets the clock by the rest; false
// when no server counted.
bool ApplyConsensus();

// Puts this module's globals back to their start values (for tests).
void ResetCorrectionGlobals();
