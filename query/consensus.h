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
// clock at some moment r of the run before the arrival of the four bytes (ta), and its answer
// S (ms since 1900) holds S <= r + theta < S + 1000, where theta is what makes the local clock
// right. A server reads only once its end of the connection is established, which is after
// our connect has completed: the connection completes at our end when the server's answer to
// the call arrives, and its end is established only by our reply to that. So r is no earlier
// than the completion, which we see at the handled connect notice (tk), and theta lies in
// [S - ta, S + 1000 - max(tc, tk - margin)), tc being the connect call. The notice may be
// handled late, by up to the margin; where the handshake is shorter than that (loopback, a
// LAN), the connect call bounds as before. Times of the run are on one scale (time/timebase.h
// RunClock), in whole milliseconds; the tick's truncation may put ta up to 1 ms early, so the
// lower bound gives that millisecond away.
constexpr int64_t CONNECT_NOTICE_MARGIN_MS = 5;
struct Interval {
    int64_t low;  // theta >= low
    int64_t high; // theta < high; empty when high <= low
};
Interval SampleInterval(uint32_t serverSeconds, Ms1900 connectAt, Ms1900 connectedAt,
                        Ms1900 answerAt);

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
    int rejected[SERVER_SLOT_COUNT]; // the slots rejected, in the order of the passes or slots
    bool kept[SERVER_SLOT_COUNT];    // the candidates whose mean was taken
};
// Rejects, one per pass, the candidate farthest from the mean while it is OUTLIER_LIMIT_MS or
// more away; the mean of the rest is the consensus. Among equal distances the highest slot
// goes first.
Consensus FindConsensus(const int64_t correction[SERVER_SLOT_COUNT],
                        const bool candidate[SERVER_SLOT_COUNT]);

// ---- the consensus of the precise estimate ----
// A server counts only when most of its samples agree: one that contradicts itself (a frozen
// second, answers from a cache) is no witness, however its largest set falls.
constexpr int SELF_AGREEMENT_MIN = 4;
// What each server's interval is widened by before they are compared: honest servers a few
// milliseconds apart still agree, one that rounds its answer (half a second off) does not.
constexpr int64_t SERVER_AGREEMENT_MARGIN_MS = 50;
// The largest set of candidates whose shared intervals, each widened by the margin, share a
// point (Marzullo's algorithm across servers); the rest are rejected, in slot order. The mean
// of the set's corrections is the consensus. Among equally large sets, the one whose mean less
// the local offset (the servers' part) is smallest moves the clock least and wins.
Consensus FindIntervalConsensus(const Interval shared[SERVER_SLOT_COUNT],
                                const int64_t correction[SERVER_SLOT_COUNT],
                                const bool candidate[SERVER_SLOT_COUNT], int64_t offsetMs);

// A step of the servers' part beyond this, either way, is taken only on the word of two
// servers at distinct addresses among those kept: one server, or two names of one, could
// otherwise move the clock by years.
constexpr int64_t LARGE_STEP_MS = int64_t{15} * 60 * 1000;
bool StepAgreed(const Consensus& consensus, const uint32_t address[SERVER_SLOT_COUNT],
                int64_t offsetMs);
