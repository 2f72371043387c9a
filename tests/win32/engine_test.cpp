// Whole runs of the query engine on the real platform: Windows Sockets notices from loopback
// servers, the busy timer and the real clock path. Servers of this suite live on 127.0.2.x,
// and on 127.0.0.1 for the name "localhost".
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "query/correction.h"
#include "query/query.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/win32/support/engine_reset.h"
#include "tests/win32/support/pump.h"
#include "tests/win32/support/time_servers.h"
#include "time/timebase.h"

namespace {

constexpr DWORD RUN_LIMIT_MS = 15000;
constexpr DWORD SERVER_LIFETIME_MS = 30000;
constexpr int64_t ONE_HOUR_MS = 3600000;
// Clock readings of the server and the engine are a few instructions apart, but both are
// rounded to the millisecond.
constexpr int64_t SLACK_MS = 2;

// The run's end is posted when its last query ends; it is over once that has been handled.
bool RunOver() {
    return !RunGoingOn();
}

uint32_t LargestSampleLatency(int slot) {
    uint32_t largest = 0;
    for (uint32_t latency : querySessions[slot].sampleLatency) {
        largest = latency > largest ? latency : largest;
    }
    return largest;
}

// An honest server reads its clock between the connect call and the answer, so every sample's
// interval holds its true offset, and the correction, less the local offset, is the middle of
// what they share.
void ExpectHonestCorrection(int slot, int64_t expectedOffsetMs) {
    const Agreement agreement = LargestAgreement(querySessions[slot].sampleInterval, SAMPLE_COUNT);
    const Interval& shared = agreement.shared;
    const int64_t truth = expectedOffsetMs - userOffsetMs;
    EXPECT_EQ(agreement.count, SAMPLE_COUNT) << serverTable[slot].name;
    EXPECT_GE(truth, shared.low - SLACK_MS) << serverTable[slot].name;
    EXPECT_LT(truth, shared.high + SLACK_MS) << serverTable[slot].name;
    EXPECT_LE(std::llabs(serverTable[slot].correction - expectedOffsetMs),
              (shared.high - shared.low) / 2 + SLACK_MS)
        << serverTable[slot].name;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetEngine(); }
    void TearDown() override {
        AbortAllQueries(Interrupted);
        StopTimeServers();
    }
};

struct RunCase {
    const char* name;
    const char* listenOn; // null: nothing listens
    ServerBehaviour behaviour;
    int32_t offsetSeconds;
    int32_t status;
    int connections;
};

TEST_F(EngineTest, CorrectionRunGivesEachServerItsStatus) {
    const RunCase cases[] = {
        {"127.0.2.2", "127.0.2.2", ServeTime, 0, Used, SAMPLE_COUNT},
        {"127.0.2.3", "127.0.2.3", ServeTime, 0, Used, SAMPLE_COUNT},
        {"127.0.2.4", "127.0.2.4", ServeEight, 0, Used, SAMPLE_COUNT},
        {"localhost", "127.0.0.1", ServeTime, 0, Used, SAMPLE_COUNT},
        {"127.0.2.5", "127.0.2.5", ServeTime, 3600, Rejected, SAMPLE_COUNT},
        {"127.0.2.6", "127.0.2.6", ServeSplit, 0, NoResponse, 1},
        {"127.0.2.7", "127.0.2.7", ServeZero, 0, NoResponse, 1},
        {"127.0.2.9", nullptr, ServeTime, 0, Refused, 0},
    };
    const int count = sizeof cases / sizeof cases[0];
    TimeServerSetup setups[count];
    int listening = 0;
    for (int i = 0; i < count; i++) {
        SetServer(i, cases[i].name);
        if (cases[i].listenOn != nullptr) {
            setups[listening++] = {cases[i].listenOn, cases[i].behaviour, cases[i].offsetSeconds};
        }
    }
    SetServer(count, "127.0.2.10");
    serverTable[count].enabled = 0;
    ASSERT_TRUE(StartTimeServers(setups, listening, SERVER_LIFETIME_MS));

    StartCorrectionRun();
    ASSERT_TRUE(PumpUntil(RunOver, RUN_LIMIT_MS));

    int64_t usedSum = 0;
    int usedCount = 0;
    for (int i = 0, server = 0; i < count; i++) {
        const RunCase& c = cases[i];
        EXPECT_EQ(serverTable[i].status, c.status) << c.name;
        EXPECT_EQ(querySessions[i].phase, Idle) << c.name;
        EXPECT_EQ(querySessions[i].socketHandle, 0u) << c.name;
        if (c.listenOn != nullptr) {
            EXPECT_EQ(AcceptCount(server++), c.connections) << c.name;
        }
        if (c.status == Used || c.status == Rejected) {
            ExpectHonestCorrection(i, c.offsetSeconds * int64_t{1000});
            EXPECT_LE(serverTable[i].latency, LargestSampleLatency(i)) << c.name;
        }
        if (c.status == Used) {
            usedSum += serverTable[i].correction;
            usedCount++;
        }
    }
    EXPECT_EQ(serverTable[count].status, Disabled);
    ASSERT_GT(usedCount, 0);
    EXPECT_EQ(lastCorrectionValue, usedSum / usedCount);
    EXPECT_EQ(lastRunFailed, 0);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayIdle);
}

// Corrections far beyond half a second reach the real clock call, which Wine refuses for lack
// of privilege: the result is kept, and the time set is recorded as none. A lone server's step
// beyond 15 minutes (the local offset apart) is refused before it: nothing is recorded.
TEST_F(EngineTest, LoneServerOffsetIsTheCorrection) {
    struct Case {
        int32_t serverOffsetSeconds;
        int64_t userOffsetMs;
        bool refused;
    };
    const Case cases[] = {{600, 0, false},  {-720, 0, false},
                          {0, 5000, false}, {-600, ONE_HOUR_MS, false},
                          {3600, 0, true},  {-3600, ONE_HOUR_MS, true}};
    for (const Case& c : cases) {
        ResetEngine();
        userOffsetMs = c.userOffsetMs;
        lastCorrectionValue = 12345;
        SetServer(0, "127.0.2.11");
        const TimeServerSetup setup = {"127.0.2.11", ServeTime, c.serverOffsetSeconds};
        ASSERT_TRUE(StartTimeServers(&setup, 1, SERVER_LIFETIME_MS));
        StartCorrectionRun();
        ASSERT_TRUE(PumpUntil(RunOver, RUN_LIMIT_MS));
        const int64_t expected = c.serverOffsetSeconds * int64_t{1000} + c.userOffsetMs;
        EXPECT_EQ(serverTable[0].status, Used) << expected;
        ExpectHonestCorrection(0, expected);
        EXPECT_EQ(lastRunOutcome, c.refused ? OutcomeRefused : OutcomeNotPermitted) << expected;
        EXPECT_EQ(lastCorrectionValue, c.refused ? 12345 : serverTable[0].correction);
        if (!c.refused && std::llabs(lastCorrectionValue) > 1000) {
            EXPECT_EQ(lastCorrectionTime, 0) << expected;
        }
        StopTimeServers();
    }
}

TEST_F(EngineTest, TestRunMeasuresWithoutCorrecting) {
    const TimeServerSetup setups[] = {{"127.0.2.12", ServeTime, 60}, {"127.0.2.13", ServeTime, 0}};
    ASSERT_TRUE(StartTimeServers(setups, 2, SERVER_LIFETIME_MS));
    SetServer(0, "127.0.2.12");
    SetServer(1, "127.0.2.13");
    lastCorrectionValue = 12345;
    testOnly = 1;
    StartQuery(0);
    StartQuery(1);
    ASSERT_TRUE(PumpUntil(RunOver, RUN_LIMIT_MS));
    for (int slot = 0; slot < 2; slot++) {
        EXPECT_EQ(serverTable[slot].status, Tested) << slot;
        EXPECT_EQ(AcceptCount(slot), SAMPLE_COUNT) << slot;
    }
    ExpectHonestCorrection(0, 60000);
    ExpectHonestCorrection(1, 0);
    EXPECT_EQ(lastCorrectionValue, 12345);
}

// A server that keeps quiet leaves its query waiting until the busy timer's deadline check ends
// it (the deadline is moved instead of being waited for); one that closes without answering
// ends at once by its close notice.
TEST_F(EngineTest, QuietServerEndsAtTheDeadlineAndClosingOneAtOnce) {
    const TimeServerSetup setups[] = {{"127.0.2.14", ServeSilent, 0},
                                      {"127.0.2.15", ServeClose, 0}};
    ASSERT_TRUE(StartTimeServers(setups, 2, SERVER_LIFETIME_MS));
    SetServer(0, "127.0.2.14");
    SetServer(1, "127.0.2.15");
    StartCorrectionRun();
    ASSERT_TRUE(PumpUntil(
        [] { return querySessions[0].phase == Reading && querySessions[1].phase == Idle; },
        RUN_LIMIT_MS));
    PumpFor(600);
    EXPECT_EQ(activeQueries, 1);
    EXPECT_EQ(serverTable[1].status, NoResponse);
    const Ms1900 lastMoved = runDeadline;
    EXPECT_GT(lastMoved, RunClockNow(runClock) + ANSWER_WAIT_MS - 5000);
    EXPECT_LE(lastMoved, RunClockNow(runClock) + ANSWER_WAIT_MS);

    runDeadline = RunClockNow(runClock) - 1;
    ASSERT_TRUE(PumpUntil(RunOver, 2000));
    EXPECT_EQ(serverTable[0].status, SlowResponse);
    EXPECT_EQ(serverTable[1].status, NoResponse);
    EXPECT_EQ(lastRunFailed, 1);
    EXPECT_EQ(AcceptCount(0), 1);
    EXPECT_EQ(AcceptCount(1), 1);
}

// The platform gives a closed socket's value to the next socket at once. A run begun straight
// after an abort, while notices of the aborted run still wait in the queue, must not take
// them for its own. The refusals come first, so the answering servers' later sockets take
// those values; the abort comes once their next connections have completed unhandled.
TEST_F(EngineTest, RunBegunAtAnAbortIgnoresTheAbortedRunsNotices) {
    const char* const refusing[] = {"127.0.2.20", "127.0.2.21", "127.0.2.22", "127.0.2.23"};
    const TimeServerSetup answering[] = {{"127.0.2.24", ServeTime, 0},
                                         {"127.0.2.25", ServeTime, 0},
                                         {"127.0.2.26", ServeTime, 0},
                                         {"127.0.2.27", ServeTime, 0}};
    ASSERT_TRUE(StartTimeServers(answering, 4, SERVER_LIFETIME_MS));
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        ResetEngine();
        for (int i = 0; i < 4; i++) {
            SetServer(i, refusing[i]);
            SetServer(4 + i, answering[i].address);
        }
        StartCorrectionRun();
        ASSERT_TRUE(PumpUntil(
            [] {
                for (int slot = 0; slot < 8; slot++) {
                    if (slot < 4 ? querySessions[slot].phase != Idle
                                 : querySessions[slot].sampleIndex < 2) {
                        return false;
                    }
                }
                return true;
            },
            RUN_LIMIT_MS));
        Sleep(50);
        AbortAllQueries(Interrupted);
        // A second copy's request, as soon as the run counts as over.
        ASSERT_TRUE(PumpUntil(RunOver, RUN_LIMIT_MS));
        StartCorrectionRun();
        ASSERT_TRUE(PumpUntil(RunOver, RUN_LIMIT_MS));
        for (int slot = 0; slot < 8; slot++) {
            EXPECT_EQ(serverTable[slot].status, slot < 4 ? Refused : Used)
                << serverTable[slot].name;
        }
    }
}

TEST_F(EngineTest, InterruptClosesTheOpenConnection) {
    const TimeServerSetup setup = {"127.0.2.16", ServeSilent, 0};
    ASSERT_TRUE(StartTimeServers(&setup, 1, SERVER_LIFETIME_MS));
    SetServer(0, "127.0.2.16");
    StartCorrectionRun();
    ASSERT_TRUE(PumpUntil([] { return querySessions[0].phase == Reading; }, RUN_LIMIT_MS));
    AbortAllQueries(Interrupted);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(serverTable[0].status, Interrupted);
    EXPECT_EQ(querySessions[0].socketHandle, 0u);
    // Whatever the platform still had queued for the closed socket changes nothing.
    PumpFor(300);
    EXPECT_EQ(serverTable[0].status, Interrupted);
    EXPECT_EQ(lastRunFailed, 1);
}

} // namespace
