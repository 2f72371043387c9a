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

// ---- the precise estimate ----
// A server answers whole seconds, but each answer bounds where its second begins. It read its
// clock at some moment r of the run between the connect call (tc) and the arrival of the four
// bytes (ta), and its answer S (ms since 1900) holds S <= r + theta < S + 1000, where theta is
// what makes the local clock right. So theta lies in [S - ta, S + 1000 - tc). Times of the
// run are on one scale (time/timebase.h RunClock), in whole milliseconds; the tick's
// truncation may put ta up to 1 ms early, so the lower bound gives that millisecond away.
struct Interval {
    int64_t low;  // theta >= low
    int64_t high; // theta < high; empty when high <= low
};
Interval SampleInterval(uint32_t serverSeconds, Ms1900 connectAt, Ms1900 answerAt);

// The largest set of samples whose intervals share a point (Marzullo's algorithm) and what
// they share. Among equally large sets, the one holding the latest sample wins: a server that
// stepped its clock is right since the step. How small the set may be is not judged here: a
// server at odds with itself is most likely at odds with the other servers too, which the
// consensus rejects; and a set of one is still one whole second wide, as good as the older
// estimate ever was.
struct Agreement {
    Interval shared;
    int count; // samples in the set
};
Agreement LargestAgreement(const Interval* intervals, int count);

struct PreciseResult {
    int64_t correction; // the midpoint of the shared interval, plus the user's offset
    int64_t halfWidth;  // the server's uncertainty
    int agreeing;
};
PreciseResult ReducePrecise(const Interval* intervals, int count, int64_t offsetMs);
// The mean of all seven latencies, as the list shows it with either estimate.
uint32_t MeanLatency(const uint32_t latency[SAMPLE_COUNT]);

// When a server's next sample starts, on the run's time. Not before the spacing after the
// last connection to its address (lastConnect; 0: none known), nor before now. Then a further
// 0 to 999 ms, so that the server is expected to read its clock (readDelay after the connect
// call) when the middle of the interval still open falls on the start of a second: whichever
// side of it the answer lands on, it halves what is left.
Ms1900 AimSample(Interval open, uint32_t readDelay, uint32_t spacingMs, Ms1900 lastConnect,
                 Ms1900 now);
// How long after the connect call a server reads its clock, from its samples so far: the
// time from the call to the answer less half the latency, whose half is the way back.
uint32_t ReadDelay(const Ms1900* connectAt, const Ms1900* answerAt, const uint32_t* latency,
                   int count);

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
