// Random runs of the whole engine in which runs begin inside every question box, as the box's
// own message loop lets them: schedule ticks, a second copy's request, test runs, and the
// list's keep-best command and the main button now and then. Whatever happens, the table
// never loses a server that no pruning removed, a pruning drops only what the results then
// standing let it drop, and every stored value agrees with the table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/sim/sim.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"
#include "ui/main_window.h"
#include "ui/messages.h"

namespace {

std::mt19937 randomness;
int okAnswers;   // question boxes answered OK
int runsInBoxes; // boxes that closed with a run going that they had let begin
int boxDepth;

uint32_t Below(uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(randomness);
}

// What the list's test command does: the selected servers, only while no run is going.
void TestSomeServers() {
    if (activeQueries != 0) {
        return;
    }
    testOnly = 1;
    BeginStartingQueries();
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (!IsFreeSlot(serverTable[slot]) && Below(2) == 0) {
            StartQuery(slot);
        }
    }
    FinishStartingQueries();
}

void DispatchNext(uint64_t maxMs) {
    SimMessage m;
    if (SimNextMessage(maxMs, &m)) {
        DispatchMessage(m.message, m.wParam, m.lParam);
    }
}

// Called by every message box before it answers, as its message loop would let these in.
void InsideBox() {
    const bool idle = activeQueries == 0;
    boxDepth++;
    for (uint32_t n = Below(4); n > 0; n--) {
        switch (Below(5)) {
        case 0:
            StartCorrectionRun(); // a second copy's request; nothing while a run is going
            break;
        case 1:
            TestSomeServers();
            break;
        case 2:
            OnClockTimer(); // a schedule tick, which runs if due
            break;
        case 3:
            if (boxDepth < 3) {
                RunFor(Below(4000));
            }
            break;
        default:
            if (boxDepth < 3) {
                RunFor(310000); // a long question: the schedule falls due inside it
            }
            break;
        }
    }
    boxDepth--;
    runsInBoxes += idle && activeQueries != 0;
    const bool ok = Below(4) != 0;
    okAnswers += ok;
    SimQueueBoxAnswer(ok ? ANSWER_OK : ANSWER_CANCEL);
}

// A slot that the step freed must have been freed by a pruning that ran in it, and by the
// results standing then: it had no good result, or the run that the pruning ended rejected
// it, or four good servers at least as fast as it stayed.
void CheckStep(const ServerRecord* before, bool pruningRan, int* removals) {
    if (memcmp(before, serverTable, sizeof serverTable) == 0) {
        return;
    }
    int goodLeft = 0;
    uint32_t slowestLeft = 0;
    for (const ServerRecord& record : serverTable) {
        if (!IsFreeSlot(record) && IsKeptByPruning(record.status)) {
            goodLeft++;
            slowestLeft = record.latency > slowestLeft ? record.latency : slowestLeft;
        }
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const ServerRecord& now = serverTable[slot];
        ASSERT_FALSE(IsFreeSlot(before[slot]) && !IsFreeSlot(now)) << slot;
        if (IsFreeSlot(before[slot]) || !IsFreeSlot(now)) {
            continue;
        }
        ++*removals;
        EXPECT_TRUE(pruningRan) << "slot " << slot << " vanished without a pruning";
        const bool beaten = goodLeft >= KEEP_BEST_COUNT && now.latency >= slowestLeft;
        EXPECT_TRUE(!IsKeptByPruning(before[slot].status) || now.status == Rejected || beaten)
            << "slot " << slot << " with a good result was dropped; it is now " << now.status;
    }
    // During a run the slots it started read None until their end saves them.
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        char name[16];
        ServerValueName(slot, name);
        ServerRecord stored;
        const bool isStored = ReadSetting(name, &stored, sizeof stored);
        ASSERT_EQ(isStored, !IsFreeSlot(serverTable[slot])) << slot;
        if (isStored && activeQueries == 0) {
            EXPECT_EQ(memcmp(&stored, &serverTable[slot], sizeof stored), 0) << slot;
        } else if (isStored) {
            EXPECT_STREQ(stored.name, serverTable[slot].name) << slot;
        }
    }
}

TEST(PruningScenario, RunsBegunInsideQuestionsNeverCostAServer) {
    const char* env = getenv("CHRONOPLEX_SEED");
    const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 1027u;
    printf("pruning scenario seed %u (CHRONOPLEX_SEED repeats another)\n", seed);
    randomness.seed(seed);
    okAnswers = runsInBoxes = boxDepth = 0;
    int removals = 0;
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        ResetWorld();
        SimSetCounter(0, 1000);
        // Mostly honest servers of varied speed; some refuse, keep quiet or are far off.
        for (int i = 0, count = 5 + static_cast<int>(Below(8)); i < count; i++) {
            const uint32_t kind = Below(12);
            const SimServerKind serverKind = kind == 0   ? SIM_REFUSE
                                             : kind == 1 ? SIM_SILENT
                                                         : SIM_ANSWER;
            const int64_t offsetMs = kind == 2 ? 60000 : static_cast<int64_t>(Below(400));
            char name[24];
            snprintf(name, sizeof name, "127.0.0.%d", 10 + i);
            SimAddServer(SimAddress(127, 0, 0, 10 + i),
                         SimServer{serverKind, offsetMs, 1 + Below(20), 5 + Below(200), -1});
            UpdateServer(AddServer(name));
        }
        freshDefaults = true;
        scheduleIndex = 2; // every five minutes
        ApplySchedule();
        PlatformSetTimer(mainDialog, TIMER_CLOCK, CLOCK_PERIOD_HIDDEN_MS);
        SimSetBoxHook(InsideBox);
        // Ten minutes of commands among the messages, then until everything has settled.
        const uint64_t end = SimElapsedMs() + 600000;
        while (SimElapsedMs() < end || !Settled()) {
            ASSERT_LT(SimElapsedMs(), end + 3600000) << "the engine never settles";
            ServerRecord before[SERVER_SLOT_COUNT];
            memcpy(before, serverTable, sizeof before);
            const int okBefore = okAnswers;
            const uint32_t choice = SimElapsedMs() < end ? Below(1000) : 999;
            if (choice < 3) {
                StartCorrectionRun(); // the main button, or a second copy's request
            } else if (choice < 5) {
                TestSomeServers();
            } else if (choice < 6) {
                AbortAllQueries(Interrupted); // the main button during a run
            } else if (choice < 7 && Below(2) == 0) {
                KeepBestFour(); // the list's keep-best command, whenever it comes
            } else {
                DispatchNext(400000);
            }
            CheckStep(before, choice == 6 || okAnswers > okBefore, &removals);
            if (HasFailure()) {
                return;
            }
        }
        SimSetBoxHook(nullptr);
        EXPECT_EQ(fakeLog.fatalCount, 0);
    }
    printf("%d boxes answered OK, %d runs begun inside boxes, %d servers pruned\n", okAnswers,
           runsInBoxes, removals);
    EXPECT_GT(runsInBoxes, 100);
    EXPECT_GT(removals, 300);
}

} // namespace
