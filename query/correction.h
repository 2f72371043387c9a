// The effects of the arithmetic in query/consensus.h: each answer becomes a sample of its
// query, seven samples the server's stored result, and the consensus of a correction run moves
// the clock, is recorded and announced.
#pragma once
#include <cstdint>

#include "query/consensus.h"
#include "servers/server_table.h"

constexpr uint32_t QUIT_DELAY_MS = 10000;

extern uint8_t lastRunFailed;

// How the last correction run's consensus ended. A refused step sets nothing: one server, or
// servers that do not agree, would have moved the clock too far to be taken on their word.
enum RunOutcome : int32_t {
    OutcomeNone = 0,         // no correction run has ended yet
    OutcomeCorrected = 1,    // the clock was set
    OutcomeNotPermitted = 2, // the servers agreed, but the platform would not let us set it
    OutcomeNoServer = 3,     // no server counted
    OutcomeRefused = 4,      // the step was too large for the servers that agreed on it
};
extern int32_t lastRunOutcome;

// Records sample sampleIndex of the slot from the server's 32-bit seconds, read just now.
void RecordSample(int slot, uint32_t serverSeconds);
// Reduces the slot's seven samples into its record and ends its query.
void ReduceSamples(int slot);
// What the consensus of a run goes by: each slot's correction and whether it counts (a named
// server that finished this run with Used). Taken when the run's last query ends, so that
// nothing done before the end is carried out can change it.
struct ConsensusInput {
    int64_t correction[SERVER_SLOT_COUNT];
    bool candidate[SERVER_SLOT_COUNT];
    uint32_t address[SERVER_SLOT_COUNT]; // the address each was asked at
    Interval shared[SERVER_SLOT_COUNT];  // the precise estimate: what each server's samples share
    bool precise;
    int64_t offsetMs;
};
ConsensusInput TakeConsensusInput();

// Rejects the outliers among the servers of this run and sets the clock by the rest; false
// when no server counted. The first goes by the table as it is now.
bool ApplyConsensus();
bool ApplyConsensusOf(const ConsensusInput& input);

// A step refused for want of agreement (OutcomeRefused): the servers' part of it, and the
// status line's and tray tip's account of it, "Not corrected: 1 server says -7300.00d".
extern int64_t refusedStep;
constexpr int REFUSAL_TEXT_SIZE = 64;
void FormatRefusal(char out[REFUSAL_TEXT_SIZE]);
// Sets the clock by the refused step after all, as a person asked; false when there is none.
bool ApplyRefusedStep();

// Puts this module's globals back to their start values (for tests).
void ResetCorrectionGlobals();
