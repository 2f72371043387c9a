// The query state machine on the simulated network: outcomes, deadlines and the end of a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/sim.h"
#include "query/correction.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"
#include "tests/tables/inet_addr_forms.h"

namespace {

uint32_t Local(int n) {
    return SimAddress(127, 0, 0, n);
}

// Whole-millisecond ticks, so that latencies come out exact.
void Begin() {
    ResetWorld();
    SimSetCounter(0, 1000);
}

// A server of the kind at 127.0.0.n (none for a negative kind).
void Script(int n, int kind, int64_t offsetMs = 0, uint32_t connectMs = 1, uint32_t answerMs = 40) {
    if (kind >= 0) {
        SimAddServer(Local(n), SimServer{static_cast<SimServerKind>(kind), offsetMs, connectMs,
                                         answerMs, -1});
    }
}

// Script, and "127.0.0.n" added to the list; returns its slot.
int Serve(int n, int kind = SIM_ANSWER, int64_t offsetMs = 0, uint32_t connectMs = 1,
          uint32_t answerMs = 40) {
    Script(n, kind, offsetMs, connectMs, answerMs);
    char name[24];
    snprintf(name, sizeof name, "127.0.0.%d", n);
    return AddServer(name);
}

bool RunOver() {
    return Settled();
}

int OccupiedCount() {
    int count = 0;
    for (const ServerRecord& record : serverTable) {
        count += !IsFreeSlot(record);
    }
    return count;
}

// Everything the queries held is given back and the window shows no run.
void ExpectNothingHeld() {
    EXPECT_EQ(SimOpenSocketCount(), 0);
    EXPECT_EQ(SimPendingLookupCount(), 0);
    EXPECT_FALSE(SimTimerActive(TIMER_BUSY));
    EXPECT_EQ(fakeLog.runButton, TrayIdle);
}

struct FailureRow {
    const char* what;
    const char* failOp; // a socket operation that fails at once
    int lookupError;    // nonzero: slot 0 is "x.test", looked up after 5 ms (-1: success)
    int kind;           // the server at 127.0.0.2 (which x.test resolves to), or -1
    int32_t status;
    int32_t companion; // slot 1 answers; it is reading when a lookup fails after 5 ms
};

const FailureRow FAILURES[] = {
    {"lookup cannot start", "lookup", -1, -1, WinsockError, Used},
    {"socket fails", "socket", 0, -1, WinsockError, Used},
    {"bind fails", "bind", 0, -1, WinsockError, Used},
    {"setsockopt fails", "setsockopt", 0, -1, WinsockError, Used},
    {"select fails", "select", 0, -1, WinsockError, Used},
    {"connect fails at once", "connect", 0, -1, WinsockError, Used},
    {"no such host", "", NET_WSAHOST_NOT_FOUND, -1, NoDnsEntry, Used},
    {"a name without an IPv4 address", "", NET_WSANO_DATA, -1, NoDnsEntry, Used},
    // Only the name whose lookup failed: the server given by address goes on.
    {"lookup fails otherwise", "", NET_WSATRY_AGAIN, -1, NetIsDown, Used},
    {"refused", "", 0, SIM_REFUSE, Refused, Used},
    {"connection times out", "", 0, SIM_CONNECT_TIMEOUT, NoResponse, Used},
    {"readable notice with an error", "", 0, SIM_READ_ERROR, NoResponse, Used},
    {"answer in two pieces", "", 0, SIM_SPLIT, NoResponse, Used},
    // A close comes only as a close notice: at once, not at the deadline.
    {"closed without an answer", "", 0, SIM_CLOSE, NoResponse, Used},
    {"answer and close, the close notice first", "", 0, SIM_ANSWER_CLOSE, Used, Used},
    {"four zero bytes", "", 0, SIM_ZERO, NoResponse, Used},
    {"never answers", "", 0, SIM_SILENT, SlowResponse, Used},
    // Four of the bytes are read. The readable notice that the rest causes names a handle that
    // the next sample's socket reuses, and must not be taken for that socket's.
    {"eight bytes", "", 0, SIM_EIGHT, Used, Used},
    {"looked up, then answers", "", -1, SIM_ANSWER, Used, Used},
};

TEST(QueryFailures, EachConditionEndsTheQueriesItAffects) {
    for (const FailureRow& row : FAILURES) {
        SCOPED_TRACE(row.what);
        Begin();
        if (row.lookupError != 0) {
            AddServer("x.test");
            SimAddLookup("x.test", Local(2), row.lookupError < 0 ? 0 : row.lookupError, 5);
            Script(2, row.kind);
        } else {
            Serve(2, row.kind);
        }
        Serve(3);
        SimNetFail(row.failOp, 10055);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 200000));
        EXPECT_EQ(serverTable[0].status, row.status);
        EXPECT_EQ(StoredStatus(0), row.status);
        EXPECT_EQ(StoredStatus(1), row.companion);
        EXPECT_EQ(SimClockSetCount(), row.companion == Used ? 1 : 0);
        ExpectNothingHeld();
    }
}

struct DeadlineRow {
    const char* what;
    uint32_t lookupMs; // 0: slot 0 is a dotted address
    uint32_t connectMs;
    uint64_t endMs; // the first busy tick strictly after the deadline
};

// Slot 1 never completes its connection; the run's one deadline ends both queries together.
// The tick at endMs - 200 finds the deadline equal to the clock: not passed yet.
const DeadlineRow DEADLINES[] = {
    {"120 s after the starts", 10000000, 0, 120200},
    {"120 s after a connection attempt", 1000, 10000000, 121200},
    {"20 s after a completion, replacing a later deadline", 0, 400, 20600},
};

TEST(QueryDeadline, OpenQueriesEndAsSlowResponseOnTheFirstTickAfterIt) {
    for (const DeadlineRow& row : DEADLINES) {
        SCOPED_TRACE(row.what);
        Begin();
        if (row.lookupMs != 0) {
            AddServer("x.test");
            SimAddLookup("x.test", Local(2), 0, row.lookupMs);
            Script(2, SIM_SILENT, 0, row.connectMs);
        } else {
            Serve(2, SIM_SILENT, 0, row.connectMs);
        }
        Serve(3, SIM_SILENT, 0, 10000000);
        StartCorrectionRun();
        RunFor(row.endMs - 200);
        EXPECT_EQ(activeQueries, 2);
        ASSERT_TRUE(RunUntil(RunOver, 1000));
        EXPECT_EQ(SimElapsedMs(), row.endMs);
        EXPECT_EQ(StoredStatus(0), SlowResponse);
        EXPECT_EQ(StoredStatus(1), SlowResponse);
        ExpectNothingHeld();
    }
}

TEST(QueryRun, DottedAddressesSkipTheLookupAndTheAllOnesAddressIsLookedUp) {
    Begin();
    Serve(2);
    AddServer("255.255.255.255");
    Script(3, SIM_ANSWER);
    SimAddLookup("255.255.255.255", Local(3));
    serverTable[Serve(4)].enabled = 0;
    StartCorrectionRun();
    EXPECT_EQ(querySessions[0].phase, Connecting);
    EXPECT_EQ(querySessions[1].phase, Resolving);
    EXPECT_EQ(StoredStatus(2), Disabled);
    EXPECT_EQ(fakeLog.runButton, TrayChecking);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayChecking);
    ASSERT_TRUE(RunUntil(RunOver, 60000));
    EXPECT_EQ(SimLookupCount("127.0.0.2"), 0);
    EXPECT_EQ(SimLookupCount("255.255.255.255"), 1);
    // Seven fresh connections each; the disabled server is never asked.
    EXPECT_EQ(SimConnectCount(Local(2)), 7);
    EXPECT_EQ(SimConnectCount(Local(3)), 7);
    EXPECT_EQ(SimConnectCount(Local(4)), 0);
    EXPECT_EQ(StoredStatus(0), Used);
    EXPECT_EQ(StoredStatus(1), Used);
    EXPECT_EQ(serverTable[0].latency, 40u);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayIdle);
}

struct SpacingRow {
    const char* what;
    int64_t setting;    // "SampleSpacing"; -1: not stored
    const char* second; // a second name of 127.0.0.2, or null
    bool wholeSecond;   // "WholeSecondEstimate" 1: the older timing, on the busy tick
    uint64_t minGap;    // between two connections to the address
    uint64_t maxGap;
};

// Up to a second more, so that the server reads its clock where a second's start halves what
// is still open; the aim timer hits that moment, the busy tick does not.
constexpr uint64_t AIM_MAX = 999;

// The gaps between connections to one address, in virtual time; every sample still counts.
TEST(QuerySpacing, ConnectionsToOneAddressLieApart) {
    const SpacingRow rows[] = {
        {"not stored: the default", -1, nullptr, false, DEFAULT_SAMPLE_SPACING_MS,
         DEFAULT_SAMPLE_SPACING_MS + AIM_MAX},
        {"two names of one address take turns", -1, "127.0.2", false, DEFAULT_SAMPLE_SPACING_MS,
         DEFAULT_SAMPLE_SPACING_MS + AIM_MAX},
        {"above the maximum: the maximum", 100000, nullptr, false, MAX_SAMPLE_SPACING_MS,
         MAX_SAMPLE_SPACING_MS + AIM_MAX},
        {"0: the aim alone", 0, nullptr, false, 41, 41 + AIM_MAX},
        {"older timing: the default", -1, nullptr, true, DEFAULT_SAMPLE_SPACING_MS,
         DEFAULT_SAMPLE_SPACING_MS + BUSY_PERIOD_MS},
        {"older timing: two names take turns", -1, "127.0.2", true, DEFAULT_SAMPLE_SPACING_MS,
         DEFAULT_SAMPLE_SPACING_MS + BUSY_PERIOD_MS},
        {"older timing: above the maximum", 100000, nullptr, true, MAX_SAMPLE_SPACING_MS,
         MAX_SAMPLE_SPACING_MS + BUSY_PERIOD_MS},
        {"older timing: 0, back to back", 0, nullptr, true, 41, 41},
    };
    for (const SpacingRow& row : rows) {
        SCOPED_TRACE(row.what);
        Begin();
        if (row.setting >= 0) {
            const uint32_t setting = static_cast<uint32_t>(row.setting);
            WriteSetting("SampleSpacing", &setting, sizeof setting);
        }
        if (row.wholeSecond) {
            const uint32_t one = 1;
            WriteSetting("WholeSecondEstimate", &one, sizeof one);
        }
        Serve(2);
        const int names = row.second != nullptr ? 2 : 1;
        if (names == 2) {
            AddServer(row.second);
        }
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil([] { return querySessions[0].phase == Idle; }, 600000));
        const uint64_t firstDone = SimElapsedMs();
        ASSERT_TRUE(RunUntil(RunOver, 600000));
        // Taking turns, the two names end within a spacing of each other.
        EXPECT_LE(SimElapsedMs() - firstDone, row.maxGap);
        ASSERT_EQ(SimConnectCount(Local(2)), names * SAMPLE_COUNT);
        for (int k = 1; k < names * SAMPLE_COUNT; k++) {
            const uint64_t gap = SimConnectTime(Local(2), k) - SimConnectTime(Local(2), k - 1);
            EXPECT_GE(gap, row.minGap) << k;
            EXPECT_LE(gap, row.maxGap) << k;
        }
        for (int slot = 0; slot < names; slot++) {
            EXPECT_EQ(StoredStatus(slot), Used) << slot;
        }
    }
}

// A query waiting for its address is neither slow at anything nor beyond the reach of a stop.
TEST(QuerySpacing, WaitingQueriesOutliveTheDeadlineAndStopWithTheRun) {
    Begin();
    const uint32_t spacing = 30000; // longer than the 20 s an answer may take
    WriteSetting("SampleSpacing", &spacing, sizeof spacing);
    Serve(2);
    Serve(3, SIM_SILENT);
    StartCorrectionRun();
    ASSERT_TRUE(RunUntil([] { return querySessions[1].phase == Idle; }, 30000));
    EXPECT_EQ(StoredStatus(1), SlowResponse);
    EXPECT_EQ(querySessions[0].phase, Waiting);
    ASSERT_TRUE(RunUntil(RunOver, 7 * spacing));
    EXPECT_EQ(StoredStatus(0), Used);

    // Stopped while it waits (for the spacing after the last run's connection).
    StartCorrectionRun();
    EXPECT_EQ(querySessions[0].phase, Waiting);
    EXPECT_EQ(fakeLog.runButton, TrayChecking);
    RunFor(1000);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayChecking);
    EXPECT_GT(fakeLog.animateCount, 0);
    AbortAllQueries(Interrupted);
    EXPECT_EQ(StoredStatus(0), Interrupted);
    RunFor(0); // the other query's socket is closed behind its notices
    ExpectNothingHeld();
}

TEST(QueryRun, TestRunEndsAtTestedAndNeverCorrects) {
    Begin();
    Serve(2, SIM_ANSWER, 9000);
    Serve(3, SIM_ANSWER, -9000);
    freshDefaults = true;
    testOnly = 1;
    StartQuery(0);
    StartQuery(1);
    EXPECT_EQ(fakeLog.runButton, TrayTesting);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayTesting);
    ASSERT_TRUE(RunUntil(RunOver, 60000));
    EXPECT_EQ(StoredStatus(0), Tested);
    EXPECT_EQ(StoredStatus(1), Tested);
    EXPECT_EQ(SimClockSetCount() + SimBroadcastCount() + SimBoxCount(), 0);
    EXPECT_TRUE(freshDefaults);
    int64_t stored;
    EXPECT_FALSE(ReadSetting("LastCorrectionTime", &stored, sizeof stored));
    ExpectNothingHeld();
}

TEST(QueryRun, StoppedRunStillCorrectsFromTheServersThatFinished) {
    Begin();
    Serve(2, SIM_ANSWER, 30000, 1, 10);
    Serve(3, SIM_ANSWER, 30000, 1, 10);
    Serve(4, SIM_SILENT);
    StartCorrectionRun();
    ASSERT_TRUE(RunUntil([] { return activeQueries == 1; }, 60000));
    const Ms1900 before = NowMs();
    AbortAllQueries(Interrupted); // the main button during a run
    RunFor(0);                    // the end of the run it posted
    EXPECT_EQ(StoredStatus(2), Interrupted);
    EXPECT_EQ(StoredStatus(0), Used);
    EXPECT_EQ(SimClockSetCount(), 1);
    EXPECT_EQ(NowMs() - before, lastCorrectionValue);
    EXPECT_GT(lastCorrectionValue, 29000);
    EXPECT_LE(lastCorrectionValue, 30005);
    RunFor(0); // the sockets let go are closed behind the notices already queued
    ExpectNothingHeld();

    // With no run in progress, neither a sweep nor ending one slot changes anything.
    const int trays = fakeLog.trayCount;
    AbortAllQueries(Interrupted);
    EndQuery(0, Interrupted);
    EXPECT_EQ(serverTable[0].status, Used);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(fakeLog.trayCount, trays);
}

// A query that fails while the run is still being started must not end the run there: the
// slots not started yet still hold the 102 of the run before.
TEST(QueryRun, EndOfRunCountsOnlyThisRunsResults) {
    for (int lookupStarts = 1; lookupStarts >= 0; lookupStarts--) {
        SCOPED_TRACE(lookupStarts);
        Begin();
        Serve(2, -1);
        AddServer("x.test");
        serverTable[1].status = Used;
        serverTable[1].correction = 50000;
        SimNetFail("socket", 10055);
        SimNetFail(lookupStarts ? "" : "lookup", 10055);
        SimAddLookup("x.test", 0, NET_WSAHOST_NOT_FOUND, 5);
        StartCorrectionRun();
        EXPECT_EQ(StoredStatus(0), WinsockError);
        EXPECT_EQ(activeQueries, lookupStarts);
        ASSERT_TRUE(RunUntil(RunOver, 1000));
        EXPECT_EQ(StoredStatus(1), lookupStarts ? NoDnsEntry : WinsockError);
        EXPECT_EQ(SimClockSetCount(), 0);
        EXPECT_EQ(lastRunFailed, 1);
        EXPECT_EQ(fakeLog.trayCount, 2); // the run starts once and ends once
        ExpectNothingHeld();
    }
}

const char PRUNE_TEXT[] =
    "Now that you've successfully corrected your clock using several time servers, Chronoplex "
    "will remove all but the four fastest so that your next correction will run faster and be "
    "more reliable.\n\n(Alternately, you can right click on the server list and edit them "
    "yourself.)";

struct PruneRow {
    const char* what;
    int kind; // of six servers; a seventh refuses
    int answer;
    int boxes;
    int remaining;
};

TEST(QueryRun, PruningIsOfferedOnceAfterASuccessfulCorrectionOfFreshDefaults) {
    const PruneRow rows[] = {
        {"OK keeps the four fastest", SIM_ANSWER, ANSWER_OK, 1, 4},
        {"Cancel keeps the list", SIM_ANSWER, ANSWER_CANCEL, 1, 7},
        {"a failed run asks nothing", SIM_REFUSE, ANSWER_OK, 0, 7},
    };
    for (const PruneRow& row : rows) {
        SCOPED_TRACE(row.what);
        Begin();
        for (int i = 0; i < 6; i++) {
            Serve(10 + i, row.kind, 0, 1, 10 + 10 * static_cast<uint32_t>(i));
        }
        Serve(2, SIM_REFUSE);
        freshDefaults = true;
        quitAfterCorrection = 1;
        SimQueueBoxAnswer(row.answer);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 60000));
        EXPECT_EQ(SimBoxCount(), row.boxes);
        EXPECT_EQ(OccupiedCount(), row.remaining);
        EXPECT_EQ(freshDefaults, row.boxes == 0);
        if (row.boxes == 0) {
            continue;
        }
        EXPECT_STREQ(SimLastBoxText(), PRUNE_TEXT);
        EXPECT_STREQ(SimLastBoxCaption(), "Chronoplex");
        EXPECT_EQ(SimLastBoxType(), BOX_OKCANCEL | BOX_ICONWARNING);
        // The quit timer armed by the correction fires and leaves the program running.
        EXPECT_EQ(SimTimerPeriod(TIMER_QUIT), QUIT_DELAY_MS);
        RunFor(QUIT_DELAY_MS);
        EXPECT_EQ(SimDestroyCount(), 0);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 60000));
        EXPECT_EQ(SimClockSetCount(), 2);
        EXPECT_EQ(SimBoxCount(), 1);
    }
}

// The platform gives a closed socket's value to the next socket at once. A run begun right
// after an abort, while notices of the aborted run still wait in the queue, must not take
// them for its own: a connection would land on a server that refuses, a refusal on one that
// answers. Here the refusers go first, so the answerers' second sockets take their values,
// and their notices come at the same instants. The abort follows each message in turn.
TEST(QueryRun, ARunBegunAtAnAbortIgnoresTheAbortedRunsNotices) {
    int abortsWithNoticesWaiting = 0;
    for (int handled = 0; handled < 40; handled++) {
        SCOPED_TRACE(handled);
        Begin();
        for (int i = 0; i < 8; i++) {
            Serve(2 + i, i < 4 ? SIM_REFUSE : SIM_ANSWER, 0, 1 + i / 4, 2);
        }
        StartCorrectionRun();
        SimMessage m;
        for (int n = 0; n < handled && SimNextMessage(1000, &m); n++) {
            DispatchMessage(m.message, m.wParam, m.lParam);
        }
        abortsWithNoticesWaiting += SimQueuedMessageCount() > 0;
        // The main button, and a second copy's request as soon as the run counts as over.
        AbortAllQueries(Interrupted);
        RunUntil([] { return !RunGoingOn(); }, 0);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 200000));
        for (int slot = 0; slot < 8; slot++) {
            EXPECT_EQ(StoredStatus(slot), slot < 4 ? Refused : Used) << slot;
        }
        ExpectNothingHeld();
    }
    EXPECT_GT(abortsWithNoticesWaiting, 10);
}

// A test that stopped while a run was being started leaves the start loop's flags behind;
// the reset between tests clears them, or the next run would never end.
TEST(QueryRun, TheResetClearsTheFlagsOfARunBeingStarted) {
    Begin();
    BeginStartingQueries();
    Begin();
    Serve(2);
    testOnly = 1;
    StartQuery(0);
    ASSERT_TRUE(RunUntil(RunOver, 60000));
    EXPECT_EQ(StoredStatus(0), Tested);
    EXPECT_EQ(fakeLog.lastTrayMode, TrayIdle);
    ExpectNothingHeld();
}

// A run that begins while the pruning question is open replaces the results the pruning goes
// by; an OK given after that must not empty the list. The offer comes again after the next
// successful run. (Runs begun inside every kind of box are swept in pruning_scenario_test.)
bool innerRunFails;

TEST(QueryRun, PruningWaitsOutARunBegunDuringTheQuestion) {
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "the inner run fails inside the box" : "the inner run succeeds");
        Begin();
        for (int i = 0; i < 6; i++) {
            Serve(10 + i, SIM_ANSWER, 0, 1, 10 + 10 * static_cast<uint32_t>(i));
        }
        freshDefaults = true;
        innerRunFails = fails;
        SimQueueBoxAnswer(ANSWER_OK);
        SimQueueBoxAnswer(ANSWER_CANCEL);
        SimSetWaitHook(SIM_WAIT_BOX, [] {
            SimSetWaitHook(SIM_WAIT_BOX, nullptr);
            if (innerRunFails) {
                for (int i = 0; i < 6; i++) {
                    Script(10 + i, SIM_REFUSE);
                }
            }
            StartCorrectionRun();
            if (innerRunFails) {
                ASSERT_TRUE(RunUntil(RunOver, 60000)); // the box's own message loop
            }
        });
        StartCorrectionRun();
        // Two spaced runs, one after the other, each up to 6 x (4.143 s and a 1 s aim).
        ASSERT_TRUE(RunUntil(RunOver, 120000));
        EXPECT_EQ(OccupiedCount(), 6);
        EXPECT_EQ(SimBoxCount(), fails ? 1 : 2);
        EXPECT_EQ(freshDefaults, fails);
    }
}

// A list reset to the defaults after the run that offered the pruning has no results to go
// by, whether the reset came before the question or while it was open; the fresh list gets an
// offer of its own after its first successful run.
TEST(QueryRun, AResetListIsNeverPrunedByAnEarlierRunsOffer) {
    for (bool whileAsked : {false, true}) {
        SCOPED_TRACE(whileAsked ? "reset while the question is open" : "reset before it");
        Begin();
        for (int i = 0; i < 6; i++) {
            Serve(10 + i);
        }
        freshDefaults = true;
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil([] { return !RunGoingOn(); }, 60000));
        if (whileAsked) {
            SimSetWaitHook(SIM_WAIT_BOX, [] {
                SimSetWaitHook(SIM_WAIT_BOX, nullptr);
                ResetServerList();
            });
        } else {
            ResetServerList();
        }
        RunFor(0); // the offer; a box would answer OK
        EXPECT_EQ(OccupiedCount(), DEFAULT_SERVER_COUNT);
        EXPECT_EQ(SimBoxCount(), whileAsked ? 1 : 0);
        EXPECT_TRUE(freshDefaults);
    }
}

// The servers keep the world's time, not the local clock: once a run has corrected the clock,
// the next one finds it right, to within the latency of 21 ms (the older arithmetic: to within
// the protocol's whole seconds).
TEST(QueryRun, ASecondRunFindsTheClockCorrected) {
    for (const bool wholeSecond : {false, true}) {
        SCOPED_TRACE(wholeSecond ? "older arithmetic" : "precise estimate");
        Begin();
        const uint32_t one = 1;
        WriteSetting("WholeSecondEstimate", &one, wholeSecond ? sizeof one : 0);
        Serve(2, SIM_ANSWER, 5000, 1, 20);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 60000));
        EXPECT_GT(lastCorrectionValue, wholeSecond ? 3990 : 4979);
        EXPECT_LE(lastCorrectionValue, wholeSecond ? 5010 : 5021);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 60000));
        EXPECT_GT(lastCorrectionValue, wholeSecond ? -1000 : -21);
        EXPECT_LE(lastCorrectionValue, wholeSecond ? 1010 : 21);
        EXPECT_EQ(SimClockSetCount(), 2);
    }
}

struct LargeStepRunRow {
    const char* what;
    bool byPerson;
    int answer; // to the question, when one is asked
    bool set;
};

// A lone server 20 minutes off is refused; only a run that a person started asks whether to
// set the clock anyway, once that run's end has unwound.
TEST(QueryRun, ARefusedStepIsOfferedToAPersonOnly) {
    const LargeStepRunRow rows[] = {
        {"the run button, Yes", true, ANSWER_YES, true},
        {"the run button, No", true, ANSWER_NO, false},
        {"the schedule", false, ANSWER_YES, false},
    };
    for (const LargeStepRunRow& row : rows) {
        SCOPED_TRACE(row.what);
        Begin();
        Serve(2, SIM_ANSWER, 1200000, 1, 20);
        SimQueueBoxAnswer(row.answer);
        row.byPerson ? PressRunButton() : StartCorrectionRun();
        ASSERT_TRUE(RunUntil(RunOver, 60000));
        EXPECT_EQ(SimBoxCount(), row.byPerson ? 1 : 0);
        if (row.byPerson) {
            const char* said = "Not corrected: 1 server says +20.00m\n\n";
            EXPECT_EQ(strncmp(SimLastBoxText(), said, strlen(said)), 0) << SimLastBoxText();
            EXPECT_EQ(SimLastBoxType(), BOX_YESNO | BOX_ICONWARNING);
        }
        EXPECT_EQ(SimClockSetCount(), row.set ? 1 : 0);
        EXPECT_EQ(lastRunOutcome, row.set ? OutcomeCorrected : OutcomeRefused);
        EXPECT_EQ(lastRunFailed, row.set ? 0 : 1);
        EXPECT_EQ(lastCorrectionTime != 0, row.set);
        if (row.set) {
            EXPECT_NEAR(static_cast<double>(lastCorrectionValue), 1200000.0, 25.0);
        }
        EXPECT_EQ(fakeLog.lastTrayMode, TrayIdle);
    }
}

// The last query ends on a failed connection; the question that follows that run lets a new
// run begin, whose 120 s deadline the failed connection must not have cut to 20 s.
TEST(QueryRun, AConnectionFailureKeepsTheDeadlineOfARunBegunDuringTheQuestion) {
    Begin();
    Serve(2, SIM_REFUSE, 0, 500);
    Serve(3, SIM_ANSWER, 0, 1, 10);
    freshDefaults = true;
    SimQueueBoxAnswer(ANSWER_CANCEL);
    SimSetWaitHook(SIM_WAIT_BOX, [] {
        SimSetWaitHook(SIM_WAIT_BOX, nullptr);
        Script(2, SIM_SILENT, 0, 60000);
        Script(3, SIM_SILENT, 0, 60000);
        StartCorrectionRun();
    });
    StartCorrectionRun();
    ASSERT_TRUE(RunUntil([] { return SimBoxCount() == 1; }, 60000));
    EXPECT_EQ(activeQueries, 2);
    RunFor(30000);
    EXPECT_EQ(activeQueries, 2) << "the new run ended early";
    RunFor(100000);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(StoredStatus(0), SlowResponse);
}

struct PreciseRunRow {
    const char* what;
    int64_t theta;
    int64_t spacing; // "SampleSpacing"; -1: not stored
    bool wholeSecond;
    uint32_t connectMs;
    uint32_t answerMs;
    int64_t low; // the correction's bounds, inclusive
    int64_t high;
};

// A server at a fractional offset, in virtual time: seven aimed samples find where its second
// begins, the clock is set from the run's time, and the next second on it is the server's.
TEST(QueryPrecise, SevenAimedSamplesFindAFractionalOffset) {
    const PreciseRunRow rows[] = {
        {"1.234 s, the default spacing", 1234, -1, false, 1, 2, 1224, 1244},
        {"-4.321 s, samples 0 apart", -4321, 0, false, 1, 2, -4331, -4311},
        {"a 40 ms answer", 1234, 0, false, 1, 40, 1234 - 40, 1234 + 40},
        // The start of the server's second, half the latency, the four fastest: as before.
        {"the older arithmetic", 1234, -1, true, 1, 2, 1234 - 1000, 1234 + 1},
    };
    for (const PreciseRunRow& row : rows) {
        SCOPED_TRACE(row.what);
        Begin();
        if (row.spacing >= 0) {
            const uint32_t spacing = static_cast<uint32_t>(row.spacing);
            WriteSetting("SampleSpacing", &spacing, sizeof spacing);
        }
        const uint32_t one = 1;
        WriteSetting("WholeSecondEstimate", &one, row.wholeSecond ? sizeof one : 0);
        Serve(2, SIM_ANSWER, row.theta, row.connectMs, row.answerMs);
        StartCorrectionRun();
        ASSERT_TRUE(RunUntil([] { return !RunGoingOn(); }, 60000));
        EXPECT_GE(lastCorrectionValue, row.low);
        EXPECT_LE(lastCorrectionValue, row.high);
        // The clock now agrees with the server's as well as the correction did.
        const int64_t left = static_cast<int64_t>(SimTrueClock() / 10000) + row.theta -
                             static_cast<int64_t>(SimWallClock() / 10000);
        EXPECT_LE(std::llabs(left - (row.theta - lastCorrectionValue)), 1) << left;
        // Fine timers only while a precise run aims, given back at its end.
        EXPECT_EQ(SimFineTimerRequests(), row.wholeSecond ? 0 : 1);
        EXPECT_FALSE(SimFineTimers());
        EXPECT_FALSE(SimTimerActive(TIMER_AIM));
        ASSERT_TRUE(RunUntil(RunOver, 1000));
        ExpectNothingHeld();
    }
}

// The table of last connections has room for two runs' addresses. A third run of new ones
// inside the spacing must wait for room rather than forget an address still inside it, which
// a fourth run would then ask again at once.
TEST(QuerySpacing, AFullAddressTableNeverForgetsAnAddressInsideTheSpacing) {
    Begin();
    const uint32_t spacing = MAX_SAMPLE_SPACING_MS;
    WriteSetting("SampleSpacing", &spacing, sizeof spacing);
    const int rounds[] = {0, 1, 2, 0}; // the address sets 127.1.r.i; the first comes again
    for (int set = 0; set < 3; set++) {
        for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
            SimAddServer(SimAddress(127, 1, set, i), SimServer{SIM_ANSWER, 0, 1, 2, -1});
        }
    }
    for (const int set : rounds) {
        for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
            snprintf(serverTable[i].name, SERVER_NAME_SIZE, "127.1.%d.%d", set, i);
            serverTable[i].enabled = 1;
        }
        StartCorrectionRun();
        RunFor(300);
        AbortAllQueries(Interrupted); // Stop, then Correct again
        RunFor(300);
    }
    StartCorrectionRun();
    ASSERT_TRUE(RunUntil(RunOver, 10 * SAMPLE_COUNT * uint64_t{spacing}));
    for (int set = 0; set < 3; set++) {
        for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
            const uint32_t address = SimAddress(127, 1, set, i);
            for (int k = 1; k < SimConnectCount(address); k++) {
                EXPECT_GE(SimConnectTime(address, k) - SimConnectTime(address, k - 1), spacing)
                    << set << "." << i << " connection " << k;
            }
        }
    }
    EXPECT_EQ(SimConnectCount(SimAddress(127, 1, 0, 0)), 1 + SAMPLE_COUNT);
}

TEST(QueryRun, SixtyFourServersAtOnce) {
    Begin();
    for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
        Serve(100 + i, SIM_ANSWER, 7000, 1 + i % 5, 10 + static_cast<uint32_t>(i % 7));
    }
    StartCorrectionRun();
    EXPECT_EQ(SimOpenSocketCount(), SERVER_SLOT_COUNT);
    ASSERT_TRUE(RunUntil(RunOver, 60000));
    for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
        EXPECT_EQ(StoredStatus(i), Used) << i;
        EXPECT_EQ(SimConnectCount(Local(100 + i)), SAMPLE_COUNT) << i;
    }
    EXPECT_EQ(SimClockSetCount(), 1);
    EXPECT_GT(lastCorrectionValue, 6000);
    EXPECT_LE(lastCorrectionValue, 7010);
}

// The simulation reads addresses as the platform does; the Win32 net suite holds the real one
// to the same table.
TEST(QueryRun, DottedDecimalParsing) {
    for (const InetAddrForm& form : INET_ADDR_FORMS) {
        EXPECT_EQ(NetInetAddr(form.text), InetAddrFormValue(form)) << form.text;
    }
    for (const char* text : INET_ADDR_NOT_ADDRESSES) {
        EXPECT_EQ(NetInetAddr(text), NET_INADDR_NONE) << text;
    }
}

} // namespace
