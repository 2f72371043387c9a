// Samples, the reduction of a server's seven samples, and the consensus that moves the clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "query/consensus.h"
#include "query/correction.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

constexpr Ms1900 WRAP = (int64_t{1} << 32) * 1000; // 2036-02-07 06:28:16 UTC
constexpr uint32_t S2026 = 3976214400u;            // 2026-01-01 00:00:00 UTC

void SetNow(Ms1900 t) {
    SimSetWallClock(Ms1900ToFileTime(t));
}

struct EraRow {
    Ms1900 now;
    uint32_t seconds;
    Ms1900 expected;
};

TEST(Answer, IsReadInTheEraNearestTheLocalClock) {
    const EraRow rows[] = {
        {WRAP - 1000, 0xFFFFFFFFu, WRAP - 1000},
        {WRAP - 1000, 1, WRAP + 1000},
        {WRAP + 1000, 0xFFFFFFFFu, WRAP - 1000},
        {WRAP + 1000, 2, WRAP + 2000},
        {Ms1900{S2026} * 1000, S2026, Ms1900{S2026} * 1000},
        {0, 5, 5000},
        {-1, 5, 5000}, // a clock before 1900 still reads the first era
        {3 * WRAP + 7000, 1, 3 * WRAP + 1000},
    };
    for (const EraRow& row : rows) {
        EXPECT_EQ(AnswerToMs1900(row.seconds, row.now), row.expected)
            << row.now << " " << row.seconds;
    }
}

struct SampleRow {
    const char* what;
    uint32_t seconds;
    Ms1900 now;
    uint64_t firstTick;
    uint32_t latency;
    int64_t offset;
    int64_t correction;
};

const SampleRow SAMPLES[] = {
    {"half the latency, rounded down", S2026, Ms1900{S2026} * 1000 + 500, 1000, 41, 0, -480},
    {"the local offset", S2026, Ms1900{S2026} * 1000 + 500, 1000, 41, 3600000, 3599520},
    {"the tick wraps", S2026, Ms1900{S2026} * 1000, 4294967290u, 11, 0, 5},
    {"answer after the wrap, clock before it", 1, WRAP - 500, 0, 0, 0, 1500},
    {"answer before the wrap, clock after it", 0xFFFFFFFFu, WRAP + 500, 0, 0, 0, -1500},
    // An offset typed absurdly large wraps around (the sanitizers would stop an overflow).
    {"an absurd offset", S2026, Ms1900{S2026} * 1000 - 500, 1000, 41, INT64_MAX, INT64_MIN + 519},
};

TEST(Sample, CorrectionIsAnswerPlusHalfLatencyMinusClockPlusOffset) {
    for (const SampleRow& row : SAMPLES) {
        SCOPED_TRACE(row.what);
        const TickMs connected = static_cast<TickMs>(row.firstTick);
        const Sample sample =
            MakeSample(row.seconds, row.now, connected, connected + row.latency, row.offset);
        EXPECT_EQ(sample.latency, row.latency);
        EXPECT_EQ(sample.correction, row.correction);
    }
    // The query's sample takes the clock and the tick of the moment the answer is handled,
    // with the older arithmetic.
    const SampleRow& row = SAMPLES[2];
    ResetWorld();
    wholeSecondEstimate = 1;
    SimSetCounter(row.firstTick, 1000);
    QuerySession& session = querySessions[0];
    session.sampleIndex = 3;
    session.sampleLatency[3] = ReadTickMs(); // the connection completes
    RunFor(row.latency);
    SetNow(row.now);
    RecordSample(0, row.seconds);
    EXPECT_EQ(session.sampleLatency[3], row.latency);
    EXPECT_EQ(session.sampleCorrection[3], row.correction);

    // The precise estimate takes the run's time instead, which a step of the wall clock in
    // the middle of the run does not move: the interval from the connect call to the answer.
    ResetWorld();
    SimSetCounter(row.firstTick, 1000);
    SetNow(Ms1900{S2026} * 1000 + 100);
    runClock = StartRunClock();
    session.sampleIndex = 3;
    session.sampleConnectAt[3] = RunClockNow(runClock); // S2026 + 100 ms
    session.sampleLatency[3] = ReadTickMs();
    RunFor(row.latency);
    SetNow(Ms1900{S2026} * 1000 + 900000); // someone sets the clock
    RecordSample(0, S2026 + 1);
    EXPECT_EQ(session.sampleLatency[3], row.latency);
    EXPECT_EQ(session.sampleAnswerAt[3], Ms1900{S2026} * 1000 + 100 + row.latency);
    // [S - ta - 1, S + 1000 - tc): 888 ms up to, not including, 1900 ms.
    EXPECT_EQ(session.sampleInterval[3].low, 1000 - 100 - 11 - 1);
    EXPECT_EQ(session.sampleInterval[3].high, 2000 - 100);
}

struct ReduceRow {
    const char* what;
    uint32_t latency[SAMPLE_COUNT];
    int64_t correction[SAMPLE_COUNT];
    int64_t serverCorrection;
    uint32_t serverLatency;
};

const ReduceRow REDUCTIONS[] = {
    // The exchange sort takes the first, second, fifth and fourth sample, not the third.
    {"equal latencies", {1, 1, 2, 2, 1, 2, 2}, {10, 20, 30, 40, 50, 60, 70}, 30, 1},
    {"truncates toward zero", {1, 2, 3, 4, 9, 9, 9}, {-5, -6, -7, -8, -900, -900, -900}, -6, 5},
    {"latencies 100 to 106", {106, 100, 105, 101, 104, 102, 103}, {0, 0, 0, 0, 0, 0, 0}, 0, 103},
    {"latencies 40 to 46", {40, 41, 42, 43, 44, 45, 46}, {1, 1, 1, 1, 1, 1, 1}, 1, 43},
    {"slow samples only in the latency",
     {50, 10, 40, 20, 30, 60, 70},
     {500, 100, 400, 200, 300, 9000, 9000},
     250,
     40},
};

// A query in its last reading phase, the only one of a test run, with the older arithmetic.
void ReadingQuery(const uint32_t* latency, const int64_t* correction) {
    ResetWorld();
    wholeSecondEstimate = 1;
    AddServer("127.0.0.2");
    querySessions[0].phase = Reading;
    activeQueries = 1;
    testOnly = 1;
    memcpy(querySessions[0].sampleLatency, latency, sizeof querySessions[0].sampleLatency);
    memcpy(querySessions[0].sampleCorrection, correction, sizeof querySessions[0].sampleCorrection);
}

TEST(Reduce, FastestFourGiveTheCorrectionAndAllSevenTheLatency) {
    for (const ReduceRow& row : REDUCTIONS) {
        SCOPED_TRACE(row.what);
        uint32_t latency[SAMPLE_COUNT];
        int64_t correction[SAMPLE_COUNT];
        memcpy(latency, row.latency, sizeof latency);
        memcpy(correction, row.correction, sizeof correction);
        const ServerResult result = ReduceSampleValues(latency, correction);
        EXPECT_EQ(result.correction, row.serverCorrection);
        EXPECT_EQ(result.latency, row.serverLatency);
    }
    const int64_t sorted[SAMPLE_COUNT] = {10, 20, 50, 40, 30, 60, 70};
    ReadingQuery(REDUCTIONS[0].latency, REDUCTIONS[0].correction);
    ReduceSamples(0);
    EXPECT_EQ(0, memcmp(querySessions[0].sampleCorrection, sorted, sizeof sorted));
    // A test run stores the result and measures only.
    EXPECT_EQ(serverTable[0].correction, REDUCTIONS[0].serverCorrection);
    EXPECT_EQ(serverTable[0].latency, REDUCTIONS[0].serverLatency);
    EXPECT_EQ(StoredStatus(0), Tested);
    EXPECT_EQ(querySessions[0].phase, Idle);
    EXPECT_EQ(SimClockSetCount(), 0);

    // In a correction run the server counts, and as the only one it sets the clock.
    ReadingQuery(REDUCTIONS[4].latency, REDUCTIONS[4].correction);
    testOnly = 0;
    const Ms1900 before = NowMs();
    ReduceSamples(0);
    RunFor(0); // the end of the run
    EXPECT_EQ(StoredStatus(0), Used);
    EXPECT_EQ(NowMs() - before, 250);
}

constexpr Ms1900 T0 = Ms1900{S2026} * 1000;

// A sample of a server whose clock is theta ahead of the run's time: connect call at tc, the
// server reads its clock readMs later (at which its clock may have stepped by stepMs), and the
// answer arrives tripMs after the call.
struct ModelSample {
    int64_t tc;          // after T0
    int64_t connectedMs; // the connect notice handled, after tc; 0: at once
    int64_t readMs;
    int64_t tripMs;
    int64_t stepMs;
};

Interval Model(int64_t theta, const ModelSample& m) {
    const Ms1900 read = T0 + m.tc + m.readMs + theta + m.stepMs;
    return SampleInterval(static_cast<uint32_t>(read / 1000), T0 + m.tc, T0 + m.tc + m.connectedMs,
                          T0 + m.tc + m.tripMs);
}

struct PreciseRow {
    const char* what;
    int64_t theta;
    int64_t offset;
    ModelSample samples[SAMPLE_COUNT];
    int agreeing;
    int64_t centre;  // what the correction should be close to
    int64_t within;  // how close, at most
    int64_t maxHalf; // the largest acceptable uncertainty
};

// Seven samples 4 s apart, each later one aimed closer to where the server's second begins;
// from the fourth on, the server's clock may have stepped.
#define AIMED_VIA(con, read, trip, step3, step4, step5, step6)                                     \
    {                                                                                              \
        {0, con, read, trip, 0}, {4500, con, read, trip, 0}, {8700, con, read, trip, 0},           \
            {12760, con, read, trip, step3}, {16730, con, read, trip, step4},                      \
            {20745, con, read, trip, step5}, {24748, con, read, trip, step6},                      \
    }
#define AIMED(read, trip, step3, step4, step5, step6)                                              \
    AIMED_VIA(0, read, trip, step3, step4, step5, step6)

// clang-format off
const PreciseRow PRECISE[] = {
    // Worked by hand: the intervals share [237, 252).
    {"an exact server at +0.250 s", 250, 0, AIMED(1, 2, 0, 0, 0, 0), 7, 244, 0, 8},
    {"an exact server at -3.700 s", -3700, 0, AIMED(1, 2, 0, 0, 0, 0), 7, -3700, 250, 500},
    {"the local offset is added", 250, 3600000, AIMED(1, 2, 0, 0, 0, 0), 7, 3600244, 0, 8},
    {"a read in the middle of a 50 ms trip", 250, 0, AIMED(25, 50, 0, 0, 0, 0), 7, 250, 25, 50},
    // The server reads after the accept, which follows the completed connect: 10 ms each way,
    // or 2 up and 18 down. Bounded by the connect call, both were told to +-27 ms.
    {"a read after the accept", 221, 0, AIMED_VIA(20, 30, 40, 0, 0, 0, 0), 7, 221, 5, 20},
    {"the same, asymmetric", 229, 0, AIMED_VIA(20, 22, 40, 0, 0, 0, 0), 7, 229, 8 + 5, 20},
    // A notice handled up to the margin late on a short path cuts off nothing.
    {"connect notices 3 ms late", 250, 0, AIMED_VIA(3, 1, 2, 0, 0, 0, 0), 7, 244, 0, 8},
    {"connect notices 5 ms late", 250, 0, AIMED_VIA(5, 1, 2, 0, 0, 0, 0), 7, 244, 0, 8},
    // It steps its clock by 5 s between two samples: the samples on either side agree among
    // themselves, and the larger set wins.
    {"a step after four samples", 250, 0, AIMED(1, 2, 0, 5000, 5000, 5000), 4, 250, 20, 35},
    {"a step after three samples", 250, 0, AIMED(1, 2, 5000, 5000, 5000, 5000), 4, 5250, 20, 35},
    // An answer read 3 s before the connection (a cache, say) bounds nothing true; the other
    // six still do.
    {"a read outside the window", 250, 0, AIMED(1, 2, 0, 0, -3000, 0), 6, 250, 13, 20},
};
// clang-format on

TEST(Precise, ASampleBoundsTheCorrectionAndTheLargestAgreeingSetWins) {
    for (const PreciseRow& row : PRECISE) {
        SCOPED_TRACE(row.what);
        Interval intervals[SAMPLE_COUNT];
        for (int k = 0; k < SAMPLE_COUNT; k++) {
            intervals[k] = Model(row.theta, row.samples[k]);
            const bool honest = row.samples[k].stepMs == 0;
            // An honest sample's interval holds the truth.
            if (honest) {
                EXPECT_LE(intervals[k].low, row.theta) << k;
                EXPECT_GT(intervals[k].high, row.theta) << k;
            }
        }
        const PreciseResult result = ReducePrecise(intervals, SAMPLE_COUNT, row.offset);
        EXPECT_EQ(result.agreeing, row.agreeing);
        EXPECT_LE(std::llabs(result.correction - row.centre), row.within) << result.correction;
        EXPECT_LE(result.halfWidth, row.maxHalf);
        // The truth of the set that won lies within the uncertainty told.
        EXPECT_LE(std::llabs(result.correction - row.centre), result.halfWidth);
    }
    // The worked row to the millisecond: the midpoint of [237, 252) and half its width.
    Interval worked[SAMPLE_COUNT];
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        worked[k] = Model(250, PRECISE[0].samples[k]);
    }
    const Agreement agreement = LargestAgreement(worked, SAMPLE_COUNT);
    EXPECT_EQ(agreement.shared.low, 237);
    EXPECT_EQ(agreement.shared.high, 252);
    EXPECT_EQ(ReducePrecise(worked, SAMPLE_COUNT, 0).halfWidth, 8);

    // Plain intervals: equally large sets go to the one that holds the latest sample; an empty
    // interval agrees with nothing.
    const Interval ties[] = {{0, 10}, {5, 15}, {20, 30}, {25, 35}, {7, 7}};
    const Agreement tie = LargestAgreement(ties, 5);
    EXPECT_EQ(tie.count, 2);
    EXPECT_EQ(tie.shared.low, 25);
    EXPECT_EQ(tie.shared.high, 30);
    const Interval nested[] = {{0, 10}, {5, 15}, {8, 12}, {13, 20}};
    const Agreement three = LargestAgreement(nested, 4);
    EXPECT_EQ(three.count, 3);
    EXPECT_EQ(three.shared.low, 8);
    EXPECT_EQ(three.shared.high, 10);
}

// The precise reduction of a query's samples: the latency column as before, the correction
// from the intervals.
TEST(Precise, ReduceSamplesTakesTheSharedInterval) {
    ResetWorld();
    AddServer("127.0.0.2");
    querySessions[0].phase = Reading;
    activeQueries = 1;
    testOnly = 1;
    userOffsetMs = -100;
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        querySessions[0].sampleInterval[k] = Model(250, PRECISE[0].samples[k]);
        querySessions[0].sampleLatency[k] = 100 + static_cast<uint32_t>(k);
    }
    ReduceSamples(0);
    EXPECT_EQ(serverTable[0].correction, 244 - 100);
    EXPECT_EQ(serverTable[0].latency, 103u);
    EXPECT_EQ(StoredStatus(0), Tested);
}

struct AimRow {
    const char* what;
    Interval open;
    uint32_t readDelay;
    uint32_t spacing;
    int64_t lastConnect; // after T0; INT64_MIN: none
    int64_t now;         // after T0
    int64_t start;       // after T0
};

TEST(Aim, TheServerReadsWhereTheMiddleOfTheOpenIntervalIsASecondsStart) {
    const AimRow rows[] = {
        {"the middle at half a second", {0, 1000}, 0, 0, INT64_MIN, 0, 500},
        {"the server reads 21 ms after the call", {0, 1000}, 21, 0, INT64_MIN, 0, 479},
        {"already there: no wait", {0, 1000}, 0, 0, INT64_MIN, 500, 500},
        {"just past it: most of a second", {0, 1000}, 0, 0, INT64_MIN, 501, 1500},
        {"after the spacing", {0, 1000}, 0, 4143, -1000, 0, 3500},
        {"a spacing long past", {0, 1000}, 0, 4143, -10000, 0, 500},
        {"a negative correction", {-1703, -1603}, 0, 0, INT64_MIN, 0, 653},
        {"an interval narrower than the trip", {237, 252}, 30, 0, INT64_MIN, 100, 726},
    };
    for (const AimRow& row : rows) {
        SCOPED_TRACE(row.what);
        const Ms1900 last = row.lastConnect == INT64_MIN ? 0 : T0 + row.lastConnect;
        const Ms1900 start = AimSample(row.open, row.readDelay, row.spacing, last, T0 + row.now);
        EXPECT_EQ(start - T0, row.start);
        // Whatever the wait, the server is expected to read at a second's start less the middle.
        const int64_t middle = (row.open.low + row.open.high) / 2;
        EXPECT_EQ(((start + row.readDelay + middle) % 1000 + 1000) % 1000, 0);
    }
    // How long after the call a server reads: the trip less half the latency, on the mean.
    const Ms1900 calls[] = {T0, T0 + 5000};
    const Ms1900 answers[] = {T0 + 50, T0 + 5040};
    const uint32_t latencies[] = {48, 36};
    EXPECT_EQ(ReadDelay(calls, answers, latencies, 2), (26u + 22u) / 2);
    EXPECT_EQ(ReadDelay(calls, answers, latencies, 0), 0u);
}

struct ConsensusRow {
    const char* what;
    std::vector<std::pair<int, int64_t>> candidates; // slot, correction
    std::vector<int> rejected;
    int64_t applied;
};

const ConsensusRow CONSENSUS[] = {
    {"one far outlier", {{0, 100}, {1, 300}, {2, 5000}}, {2}, 200},
    {"deviation of exactly 2000", {{0, 0}, {1, 3999}}, {1}, 0},
    {"deviations of 1999", {{0, 0}, {1, 3998}}, {}, 1999},
    {"equal deviations reject the higher slot", {{3, -2500}, {7, 2500}}, {7}, -2500},
    {"one rejection per pass",
     {{0, 1000}, {1, 1000}, {2, 1000}, {3, -5000}, {4, -5000}},
     {4, 3}, // in the order of the passes
     1000},
    {"a single candidate", {{9, -86400000}}, {}, -86400000},
};

// A server of a run of the older arithmetic, at an address of its own.
void PutCandidate(int slot, int64_t correction) {
    wholeSecondEstimate = 1;
    querySessions[slot].address = SimAddress(127, 0, 1, slot);
    snprintf(serverTable[slot].name, SERVER_NAME_SIZE, "s%d.test", slot);
    serverTable[slot].enabled = 1;
    serverTable[slot].status = Used;
    serverTable[slot].correction = correction;
}

int64_t StoredMs(const char* name) {
    uint32_t type = 0;
    uint32_t size = 0;
    const uint8_t* bytes = SimRegValueData(SETTINGS_KEY, name);
    if (!SimRegValueInfo(SETTINGS_KEY, name, &type, &size) || bytes == nullptr ||
        type != REGISTRY_BINARY || size != 8) {
        ADD_FAILURE() << name << " is not stored as 8 bytes";
        return 0;
    }
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) {
        value = value << 8 | bytes[i];
    }
    return static_cast<int64_t>(value);
}

struct Candidates {
    int64_t correction[SERVER_SLOT_COUNT] = {};
    bool candidate[SERVER_SLOT_COUNT] = {};
    void Put(int slot, int64_t value) {
        correction[slot] = value;
        candidate[slot] = true;
    }
};

TEST(Consensus, RejectsOutliersOneAtATimeAndFindsTheMean) {
    for (const ConsensusRow& row : CONSENSUS) {
        SCOPED_TRACE(row.what);
        Candidates in;
        for (const auto& c : row.candidates) {
            in.Put(c.first, c.second);
        }
        const Consensus found = FindConsensus(in.correction, in.candidate);
        EXPECT_TRUE(found.found);
        EXPECT_EQ(found.mean, row.applied);
        EXPECT_EQ(std::vector<int>(found.rejected, found.rejected + found.rejectedCount),
                  row.rejected);
    }
    EXPECT_FALSE(FindConsensus(Candidates().correction, Candidates().candidate).found);
}

// The run's consensus marks and saves the rejected servers, moves the clock by the mean,
// records it and announces it.
TEST(Consensus, AppliesWhatItFinds) {
    for (const ConsensusRow& row : {CONSENSUS[0], CONSENSUS[4]}) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        for (const auto& c : row.candidates) {
            PutCandidate(c.first, c.second);
        }
        const Ms1900 before = NowMs();
        EXPECT_TRUE(ApplyConsensus());
        EXPECT_EQ(NowMs() - before, row.applied);
        EXPECT_EQ(SimClockSetCount(), 1);
        for (const auto& c : row.candidates) {
            bool out = false;
            for (int r : row.rejected) {
                out = out || r == c.first;
            }
            EXPECT_EQ(serverTable[c.first].status, out ? Rejected : Used) << c.first;
            EXPECT_EQ(StoredStatus(c.first), out ? Rejected : -1) << c.first;
        }
        EXPECT_EQ(lastCorrectionValue, row.applied);
        EXPECT_EQ(lastCorrectionTime, NowMs());
        EXPECT_EQ(lastRunTime, lastCorrectionTime);
        EXPECT_EQ(StoredMs("LastCorrectionTime"), lastCorrectionTime);
        EXPECT_EQ(StoredMs("LastCorrectionValue"), row.applied);
        EXPECT_EQ(SimBroadcastCount(), 1);
        EXPECT_FALSE(SimTimerActive(TIMER_QUIT));
        EXPECT_EQ(lastRunOutcome, OutcomeCorrected);
    }
}

TEST(Consensus, WithoutCandidatesNothingMoves) {
    ResetWorld();
    PutCandidate(0, 500);
    serverTable[0].name[0] = 0; // freed, with its old 102 left behind
    PutCandidate(1, 500);
    serverTable[1].status = Tested;
    PutCandidate(2, 500);
    serverTable[2].status = Rejected;
    lastRunTime = 12345;
    EXPECT_FALSE(ApplyConsensus());
    EXPECT_EQ(lastRunFailed, 1);
    EXPECT_EQ(lastRunOutcome, OutcomeNoServer);
    EXPECT_EQ(lastRunTime, 12345);
    EXPECT_EQ(SimClockSetCount(), 0);
    EXPECT_EQ(SimBroadcastCount(), 0);
    EXPECT_FALSE(SimRegValueInfo(SETTINGS_KEY, "LastCorrectionTime", nullptr, nullptr));
    EXPECT_FALSE(SimRegValueInfo(SETTINGS_KEY, "LastCorrectionValue", nullptr, nullptr));
}

struct ClockRow {
    const char* what;
    uint32_t failure;
    uint8_t quit;
    bool timeSet;
    int fatal;
    int32_t outcome;
};

TEST(Consensus, ClockRefusalsQuitTimerAndTheOrderOfTheWrites) {
    const ClockRow rows[] = {
        {"clock set, quit after it", 0, 1, true, 0, OutcomeCorrected},
        {"no privilege", PLATFORM_ERROR_PRIVILEGE_NOT_HELD, 0, false, 0, OutcomeNotPermitted},
        {"any other failure", 5, 0, false, 1, OutcomeNotPermitted},
    };
    for (const ClockRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        PutCandidate(4, -750);
        SimSetClockFailure(row.failure);
        quitAfterCorrection = row.quit;
        EXPECT_TRUE(ApplyConsensus());
        EXPECT_EQ(lastCorrectionTime != 0, row.timeSet);
        // The schedule counts from the attempt even when the clock could not be set.
        EXPECT_EQ(lastRunTime, NowMs());
        EXPECT_EQ(StoredMs("LastCorrectionTime"), lastCorrectionTime);
        EXPECT_EQ(StoredMs("LastCorrectionValue"), -750);
        EXPECT_EQ(SimTimerPeriod(TIMER_QUIT), row.quit ? QUIT_DELAY_MS : 0);
        EXPECT_EQ(SimBroadcastCount(), 1);
        EXPECT_EQ(fakeLog.fatalCount, row.fatal);
        EXPECT_EQ(lastRunOutcome, row.outcome);
        if (row.fatal != 0) {
            EXPECT_STREQ(fakeLog.fatalText, "Cannot set the system time");
        }
    }
    // A mean the platform cannot represent as a date is a failure like any other, not a
    // wrapped clock.
    ResetWorld();
    PutCandidate(2, 4000000000000000000);
    PutCandidate(3, 4000000000000000000);
    const uint64_t wall = SimWallClock();
    EXPECT_TRUE(ApplyConsensus());
    EXPECT_STREQ(fakeLog.fatalText, "Cannot set the system time");
    EXPECT_EQ(SimWallClock(), wall);
    EXPECT_EQ(lastCorrectionTime, 0);

    // The time is written before the value: a failing first write loses the time only.
    ResetWorld();
    PutCandidate(0, 10);
    SimRegFail(SIM_REG_SET, PLATFORM_ERROR_ACCESS_DENIED, 1);
    ApplyConsensus();
    EXPECT_STREQ(fakeLog.fatalText, "Registry Problem");
    EXPECT_FALSE(SimRegValueInfo(SETTINGS_KEY, "LastCorrectionTime", nullptr, nullptr));
    EXPECT_EQ(StoredMs("LastCorrectionValue"), 10);
}

// A server whose samples share theta +- 10 ms, at address 127.0.0.n.
struct Witness {
    int slot;
    int64_t theta;
    int address;
};

struct WitnessRow {
    const char* what;
    bool precise;
    std::vector<Witness> witnesses;
    std::vector<int> rejected;
    int64_t truth, within, offAtLeast; // how far the correction is from the truth
    const char* refusal;               // the status line's account of a refused step
};

// The precise estimate keeps the largest set of servers whose intervals meet, and the older
// arithmetic still averages anything under 2 s. Either way a step of more than 15 minutes,
// the local offset apart, needs two servers at distinct addresses that agree on it; otherwise
// it sets and stores nothing, the run has failed, and only a person's yes sets it.
TEST(Consensus, ServersWhoseIntervalsMeetAndLargeSteps) {
    const int64_t t = 1234, min15 = 900000, years = -7300 * int64_t{86400000};
    // clang-format off
    const WitnessRow rows[] = {
        {"a rounding server", true, {{0, t, 2}, {1, t, 3}, {2, t, 4}, {3, t + 500, 5}}, {3}, t, 0, 0, nullptr},
        {"one 1.5 s ahead", true, {{0, t, 2}, {1, t + 1500, 3}, {2, t, 4}, {3, t, 5}}, {1}, t, 0, 0, nullptr},
        {"two of five 3 s ahead", true, {{0, t, 2}, {1, t, 3}, {2, t, 4}, {3, t + 3000, 5}, {4, t + 3000, 6}}, {3, 4}, t, 0, 0, nullptr},
        {"one 20 ms off still agrees", true, {{0, t, 2}, {1, t + 20, 3}}, {}, t, 10, 10, nullptr},
        // Equally large sets: the one that moves the clock least.
        {"a liar among two", true, {{0, years, 2}, {1, t, 3}}, {0}, t, 0, 0, nullptr},
        {"a liar among four", true, {{0, t, 2}, {1, t, 3}, {2, years, 4}, {3, t, 5}}, {2}, t, 0, 0, nullptr},
        {"older: a rounding server", false, {{0, t, 2}, {1, t, 3}, {2, t, 4}, {3, t + 500, 5}}, {}, t, 125, 125, nullptr},
        {"older: two of five", false, {{0, t, 2}, {1, t, 3}, {2, t, 4}, {3, t + 3000, 5}, {4, t + 3000, 6}}, {}, t, 1200, 1200, nullptr},
        {"older: a liar among four", false, {{0, t, 2}, {1, t, 3}, {2, years, 4}, {3, t, 5}}, {2}, t, 0, 0, nullptr},
        {"14 min 59 s from one server", true, {{0, min15 - 1000, 2}}, {}, min15 - 1000, 0, 0, nullptr},
        {"15 min 1 s from one server", true, {{0, -min15 - 1000, 2}}, {}, 0, 0, 0, "Not corrected: 1 server says -15.02m"},
        {"two agreeing servers 20 years off", true, {{0, years, 2}, {5, years, 3}}, {}, years, 0, 0, nullptr},
        {"older: the same", false, {{0, years, 2}, {5, years, 3}}, {}, years, 0, 0, nullptr},
        {"two that disagree", true, {{0, years, 2}, {5, years - 3600000, 3}}, {5}, 0, 0, 0, "Not corrected: 1 server says -7300.00d"},
        {"two names of one address", true, {{0, years, 2}, {5, years, 2}}, {}, 0, 0, 0, "Not corrected: 1 server says -7300.00d"},
        // The liar in the lower slot wins the older arithmetic's tie.
        {"older: a liar and an exact server", false, {{0, years, 2}, {1, 0, 3}}, {1}, 0, 0, 0, "Not corrected: 1 server says -7300.00d"},
    };
    // clang-format on
    for (const WitnessRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        ConsensusInput input = {};
        input.precise = row.precise;
        input.offsetMs = userOffsetMs = 3600000;
        for (const Witness& w : row.witnesses) {
            PutCandidate(w.slot, w.theta + input.offsetMs);
            input.correction[w.slot] = w.theta + input.offsetMs;
            input.candidate[w.slot] = true;
            input.address[w.slot] = SimAddress(127, 0, 0, w.address);
            input.shared[w.slot] = {w.theta - 10, w.theta + 10};
        }
        const bool applied = row.refusal == nullptr;
        EXPECT_EQ(ApplyConsensusOf(input), applied);
        for (const Witness& w : row.witnesses) {
            const bool out = std::count(row.rejected.begin(), row.rejected.end(), w.slot) > 0;
            EXPECT_EQ(serverTable[w.slot].status, out ? Rejected : Used) << w.slot;
        }
        EXPECT_EQ(SimClockSetCount(), applied ? 1 : 0);
        EXPECT_EQ(lastRunFailed, applied ? 0 : 1);
        EXPECT_EQ(SimRegValueInfo(SETTINGS_KEY, "LastCorrectionValue", nullptr, nullptr), applied);
        if (applied) {
            const int64_t off = std::llabs(lastCorrectionValue - input.offsetMs - row.truth);
            EXPECT_LE(off, row.within);
            EXPECT_GE(off, row.offAtLeast);
            continue;
        }
        EXPECT_EQ(lastRunOutcome, OutcomeRefused);
        char text[REFUSAL_TEXT_SIZE];
        FormatRefusal(text);
        EXPECT_STREQ(text, row.refusal);
        const Ms1900 before = NowMs();
        EXPECT_TRUE(ApplyRefusedStep());
        EXPECT_EQ(NowMs() - before, refusedStep + input.offsetMs);
        EXPECT_EQ(StoredMs("LastCorrectionValue"), refusedStep + input.offsetMs);
    }

    // A server that answers one frozen second at the default spacing agrees with itself in one
    // sample of seven: it is no witness.
    ResetWorld();
    AddServer("127.0.0.2");
    querySessions[0].phase = Reading;
    activeQueries = 1;
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        const Ms1900 call = T0 + k * int64_t{DEFAULT_SAMPLE_SPACING_MS};
        querySessions[0].sampleInterval[k] = SampleInterval(S2026, call, call + 1, call + 2);
    }
    ReduceSamples(0);
    EXPECT_EQ(StoredStatus(0), Rejected);
    RunFor(0); // the end of the run
    EXPECT_EQ(lastRunOutcome, OutcomeNoServer);
}

// Random mixtures of agreeing servers and outliers, checked for what the consensus promises:
// the survivors agree with the mean applied, and every rejection was justified when made.
TEST(Consensus, RandomRunsKeepTheInvariants) {
    const char* env = getenv("CHRONOPLEX_SEED");
    const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 868u;
    printf("consensus seed %u (CHRONOPLEX_SEED repeats another)\n", seed);
    std::mt19937 random(seed);
    auto uniform = [&random](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(random);
    };
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        // A cluster that mostly agrees, and one server in four far off.
        const int64_t centre = uniform(-100000, 100000);
        Candidates candidates;
        const int64_t* value = candidates.correction;
        std::vector<int> in, rejected;
        for (int64_t i = uniform(1, SERVER_SLOT_COUNT); i > 0; i--) {
            const int slot = static_cast<int>(uniform(0, SERVER_SLOT_COUNT - 1));
            const int64_t spread = uniform(0, 3) == 0 ? 10000000 : 2500;
            candidates.Put(slot, centre + uniform(-spread, spread));
        }
        const Consensus found = FindConsensus(candidates.correction, candidates.candidate);
        ASSERT_TRUE(found.found);
        const int64_t mean = found.mean;
        const std::vector<int> out(found.rejected, found.rejected + found.rejectedCount);
        int64_t keptSum = 0;
        int64_t kept = 0;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            if (!candidates.candidate[slot]) {
                continue;
            }
            in.push_back(slot);
            if (std::find(out.begin(), out.end(), slot) == out.end()) {
                EXPECT_LT(std::llabs(value[slot] - mean), OUTLIER_LIMIT_MS) << slot;
                keptSum += value[slot];
                kept++;
            } else {
                rejected.push_back(slot);
            }
        }
        ASSERT_GT(kept, 0); // a single candidate is never rejected
        EXPECT_EQ(keptSum / kept, mean);
        // Replay the passes: of the rejected servers still in, the one farthest from the pass's
        // mean was at least the limit away and at least as far as any other server in.
        while (!rejected.empty()) {
            int64_t sum = 0;
            for (int slot : in) {
                sum += value[slot];
            }
            const int64_t passMean = sum / static_cast<int64_t>(in.size());
            auto distance = [&](int slot) { return std::llabs(value[slot] - passMean); };
            auto pick = rejected.begin();
            for (auto r = rejected.begin(); r != rejected.end(); ++r) {
                pick = distance(*r) >= distance(*pick) ? r : pick;
            }
            EXPECT_GE(distance(*pick), OUTLIER_LIMIT_MS);
            for (int slot : in) {
                EXPECT_LE(distance(slot), distance(*pick));
            }
            in.erase(std::find(in.begin(), in.end(), *pick));
            rejected.erase(pick);
        }
    }
}

} // namespace
