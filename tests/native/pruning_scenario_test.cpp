// Random runs of the whole engine in which runs begin inside every question box, as its message
// loop lets them in: schedule ticks, a second copy's request, test runs; and the main button
// and the list's keep-best command now and then. The table never loses a server that no
// pruning removed, a pruning drops only what the results then standing let it drop, and every
// stored value agrees with the table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/sim/sim.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

std::mt19937 randomness;
int okAnswers, runsInBoxes, boxDepth;

uint32_t Below(uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(randomness);
}

// The list's test command over a random selection; nothing while a run is going.
void TestSomeServers() {
    if (!RunGoingOn()) {
        testOnly = 1;
        BeginStartingQueries();
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            if (!IsFreeSlot(serverTable[slot]) && Below(2) == 0) {
                StartQuery(slot);
            }
        }
        FinishStartingQueries();
    }
}

// What a box's message loop may let in: a second copy's request, a test run, a schedule tick,
// and messages for a short while or for so long that the schedule falls due.
void (*const LET_IN[])() = {StartCorrectionRun, TestSomeServers, OnClockTimer,
                            [] { RunFor(boxDepth < 3 ? Below(4000) : 0); },
                            [] { RunFor(boxDepth < 3 ? 310000 : 0); }};

void InsideBox() {
    const bool idle = !RunGoingOn();
    boxDepth++;
    for (uint32_t n = Below(4); n > 0; n--) {
        LET_IN[Below(5)]();
    }
    boxDepth--;
    runsInBoxes += idle && RunGoingOn();
    const bool ok = Below(4) != 0;
    okAnswers += ok;
    SimQueueBoxAnswer(ok ? ANSWER_OK : ANSWER_CANCEL);
}

// A slot freed by the step must have been freed by a pruning in it, by the results standing
// then: it had no good result, or the run that the pruning ended rejected it, or four good
// servers at least as fast as it stayed. During a run its slots read None until saved.
void CheckStep(const ServerRecord* before, bool pruningRan, int* removals) {
    if (memcmp(before, serverTable, sizeof serverTable) == 0) {
        return;
    }
    int goodLeft = 0;
    uint32_t slowestLeft = 0;
    for (const ServerRecord& r : serverTable) {
        if (!IsFreeSlot(r) && IsKeptByPruning(r.status)) {
            goodLeft++;
            slowestLeft = r.latency > slowestLeft ? r.latency : slowestLeft;
        }
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const ServerRecord& now = serverTable[slot];
        ASSERT_FALSE(IsFreeSlot(before[slot]) && !IsFreeSlot(now)) << slot;
        if (!IsFreeSlot(before[slot]) && IsFreeSlot(now)) {
            ++*removals;
            EXPECT_TRUE(pruningRan) << "slot " << slot << " vanished without a pruning";
            EXPECT_TRUE(!IsKeptByPruning(before[slot].status) || now.status == Rejected ||
                        (goodLeft >= KEEP_BEST_COUNT && now.latency >= slowestLeft))
                << "slot " << slot << " with a good result was dropped; it is now " << now.status;
        }
        char name[16];
        ServerValueName(slot, name);
        ServerRecord stored;
        const bool isStored = ReadSetting(name, &stored, sizeof stored);
        ASSERT_EQ(isStored, !IsFreeSlot(now)) << slot;
        EXPECT_TRUE(!isStored || strcmp(stored.name, now.name) == 0) << slot;
        EXPECT_TRUE(!isStored || RunGoingOn() || memcmp(&stored, &now, sizeof now) == 0) << slot;
    }
}

TEST(PruningScenario, RunsBegunInsideQuestionsNeverCostAServer) {
    const char* env = getenv("CHRONOPLEX_SEED");
    const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 1027u;
    printf("pruning scenario seed %u (CHRONOPLEX_SEED repeats another)\n", seed);
    randomness.seed(seed);
    int removals = 0;
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        ResetWorld();
        SimSetCounter(0, 1000);
        // Mostly honest servers of varied speed; some refuse, keep quiet or are far off.
        for (int i = 0, count = 5 + static_cast<int>(Below(8)); i < count; i++) {
            const uint32_t kind = Below(12);
            char name[24];
            snprintf(name, sizeof name, "127.0.0.%d", 10 + i);
            SimAddServer(SimAddress(127, 0, 0, 10 + i),
                         SimServer{kind == 0   ? SIM_REFUSE
                                   : kind == 1 ? SIM_SILENT
                                               : SIM_ANSWER,
                                   kind == 2 ? 60000 : int64_t{Below(400)}, 1 + Below(20),
                                   5 + Below(200), -1});
            UpdateServer(AddServer(name));
        }
        freshDefaults = true;
        scheduleIndex = 2; // every five minutes
        ApplySchedule();
        PlatformSetTimer(mainDialog, TIMER_CLOCK, CLOCK_PERIOD_HIDDEN_MS);
        SimSetWaitHook(SIM_WAIT_BOX, InsideBox);
        // Ten minutes of commands among the messages, then messages until all has settled.
        const uint64_t end = SimElapsedMs() + 600000;
        while (SimElapsedMs() < end || !Settled()) {
            ASSERT_LT(SimElapsedMs(), end + 3600000) << "the engine never settles";
            ServerRecord before[SERVER_SLOT_COUNT];
            memcpy(before, serverTable, sizeof before);
            const int okBefore = okAnswers;
            const uint32_t choice = SimElapsedMs() < end ? Below(2000) : 1999;
            SimMessage m;
            if (choice < 6) {
                StartCorrectionRun(); // the main button, or a second copy's request
            } else if (choice < 10) {
                TestSomeServers();
            } else if (choice < 12) {
                AbortAllQueries(Interrupted); // the main button during a run
            } else if (choice < 13) {
                KeepBestFour(); // the list's keep-best command, whenever it comes
            } else if (SimNextMessage(400000, &m)) {
                DispatchMessage(m.message, m.wParam, m.lParam);
            }
            CheckStep(before, choice == 12 || okAnswers > okBefore, &removals);
            if (HasFailure()) {
                return;
            }
        }
        EXPECT_EQ(fakeLog.fatalCount, 0);
    }
    printf("%d boxes answered OK, %d runs begun inside boxes, %d servers pruned\n", okAnswers,
           runsInBoxes, removals);
    EXPECT_GT(runsInBoxes, 100);
    EXPECT_GT(removals, 300);
}

} // namespace
