// The arithmetic of a run, over plain values: a sample from an answer, a server's result from
// its seven samples, and the consensus of the servers. No globals and no platform; the engine
// (query/correction.h) feeds it and applies what it finds.
#pragma once
#include <cstdint>

#include "servers/server_table.h"
#include "time/timebase.h"

constexpr int SAMPLE_COUNT = 7;
constexpr int FAST_SAMPLE_COUNT = 4;
constexpr int64_t OUTLIER_LIMIT_MS = 2000;

// The server's seconds as milliseconds since 1900, in the 136-year era nearest to now.
Ms1900 AnswerToMs1900(uint32_t serverSeconds, Ms1900 now);

struct Sample {
    uint32_t latency;   // ms from the completed connection to the answer
    int64_t correction; // ms to add to the local clock
};
// One answer: the server's seconds, the clock read after it arrived, the tick at the completed
// connection and at the answer, and the user's offset.
Sample MakeSample(uint32_t serverSeconds, Ms1900 now, TickMs connected, TickMs answered,
                  int64_t offsetMs);

struct ServerResult {
    int64_t correction; // mean of the four fastest samples
    uint32_t latency;   // mean of all seven
};
// Orders the samples by latency (the arrays are left sorted) and reduces them.
ServerResult ReduceSampleValues(uint32_t latency[SAMPLE_COUNT], int64_t correction[SAMPLE_COUNT]);

struct Consensus {
    bool found; // there was a candidate; then mean is the correction to apply
    int64_t mean;
    int rejectedCount;
    int rejected[SERVER_SLOT_COUNT]; // the slots rejected as outliers, in the order of the passes
};
// Rejects, one per pass, the candidate farthest from the mean while it is OUTLIER_LIMIT_MS or
// more away; the mean of the rest is the consensus. Among equal distances the highest slot
// goes first.
Consensus FindConsensus(const int64_t correction[SERVER_SLOT_COUNT],
                        const bool candidate[SERVER_SLOT_COUNT]);
