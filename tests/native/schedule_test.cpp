#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "query/correction.h"
#include "platform/registry.h"
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

constexpr int64_t HOUR = 3600000;
constexpr int64_t DAY = 24 * HOUR;

class Schedule : public ::testing::Test {
  protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override {
        EXPECT_EQ(fakeLog.fatalCount, 0);
        EXPECT_EQ(SimRegOpenKeyCount(), 0);
    }
};

// The logon task, or the Run value where the task is refused (tests/native/settings_test.cpp).
bool AutoStartWritten() {
    return SimLogonTaskXml("Chronoplex") != nullptr ||
           SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr);
}

// With an empty table an automatic run starts no query and fails at once: all it leaves is
// its first try again, pending.
bool RunStartedNow() {
    return retry.pending && retry.failures == 1;
}

TEST_F(Schedule, PositionsGiveLabelIntervalAndAutoStart) {
    const struct {
        int32_t index;
        const char* label;
        int64_t interval;
    } cases[] = {{0, "No Scheduled Interval", 0},
                 {1, "On Startup", 0},
                 {2, "Every 5 Minutes", 300000},
                 {3, "Every 15 Minutes", 900000},
                 {4, "Hourly", HOUR},
                 {5, "Every Six Hours", 6 * HOUR},
                 {6, "Daily", DAY},
                 {7, "Every 3 Days", 3 * DAY},
                 {8, "Weekly", 7 * DAY},
                 {9, "Monthly", 30 * DAY},
                 {12, "No Scheduled Interval", 0},
                 {-1, "No Scheduled Interval", 0}};
    for (const auto& c : cases) {
        RegisterAutoStart(c.index == 0); // the opposite of what should follow
        ResetScheduleGlobals();          // as a new start of the program finds it
        scheduleIndex = c.index;
        ApplySchedule();
        EXPECT_STREQ(fakeLog.scheduleLabel, c.label) << c.index;
        EXPECT_EQ(scheduleIntervalMs, c.interval) << c.index;
        EXPECT_EQ(AutoStartWritten(), c.index != 0) << c.index;
    }
    EXPECT_GT(SCHEDULE_TABLE[9].intervalMs, int64_t{INT32_MAX});
}

TEST_F(Schedule, StoredTwelveShowsNoIntervalButStartsAutomatically) {
    const int32_t twelve = 12;
    WriteSetting("Schedule", &twelve, 4);
    ASSERT_TRUE(ReadSetting("Schedule", &scheduleIndex, sizeof scheduleIndex));
    ApplySchedule();
    EXPECT_STREQ(fakeLog.scheduleLabel, "No Scheduled Interval");
    EXPECT_EQ(scheduleIntervalMs, 0);
    EXPECT_TRUE(AutoStartWritten());
    lastRunTime = 1;
    OnClockTimer();
    EXPECT_EQ(lastRunTime, 1);
}

TEST_F(Schedule, SliderStoresAndApplies) {
    lastRunTime = 1234;
    OnScheduleSlider(8);
    uint32_t type = 0, size = 0;
    ASSERT_TRUE(SimRegValueInfo(SETTINGS_KEY, "Schedule", &type, &size));
    EXPECT_EQ(type, REGISTRY_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(memcmp(SimRegValueData(SETTINGS_KEY, "Schedule"), "\x08\0\0\0", 4), 0);
    EXPECT_STREQ(fakeLog.scheduleLabel, "Weekly");
    EXPECT_EQ(lastRunTime, 1234);
    OnScheduleSlider(0);
    EXPECT_FALSE(AutoStartWritten());
}

TEST_F(Schedule, ClockTickChecksTheScheduleIn64Bits) {
    const struct {
        const char* what;
        int32_t index;
        int64_t sinceLastRun; // now - lastRunTime
        int32_t active;
        bool runs;
    } cases[] = {
        {"monthly, a millisecond early", 9, 30 * DAY - 1, 0, false},
        {"monthly, exactly due", 9, 30 * DAY, 0, true},
        {"monthly, an hour after the last", 9, HOUR, 0, false},
        {"monthly, beyond 2^31 ms", 9, 25 * DAY, 0, false},
        {"hourly, overdue", 4, 2 * HOUR, 0, true},
        {"hourly, due while a run is active", 4, 2 * HOUR, 1, false},
        {"on startup only", 1, 400 * DAY, 0, false},
        {"none", 0, 400 * DAY, 0, false},
        {"last run at the end of time: the clock went back", 9, INT64_MIN, 0, true},
    };
    for (const auto& c : cases) {
        ResetWorld();
        scheduleIndex = c.index;
        ApplySchedule();
        lastRunTime = c.sinceLastRun == INT64_MIN ? INT64_MAX - 5 : NowMs() - c.sinceLastRun;
        activeQueries = c.active;
        OnClockTimer();
        EXPECT_EQ(RunStartedNow(), c.runs) << c.what;
        char shown[DATE_TIME_TEXT_SIZE];
        FormatDateTime(NowMs(), shown);
        EXPECT_STREQ(fakeLog.clockText, shown) << c.what;
    }
    // Hidden, the tick makes no text that nobody sees.
    const int set = fakeLog.clockTextCount;
    fakeLog.windowHidden = true;
    SimSetWallClock(SimWallClock() + 20000000);
    OnClockTimer();
    EXPECT_EQ(fakeLog.clockTextCount, set);
}

TEST_F(Schedule, LaunchTrigger) {
    const struct {
        uint8_t correct;
        char mode;
        int32_t index;
        int32_t active;
        bool runs;
        uint8_t quit;
    } cases[] = {
        {1, 0, 0, 0, true, 1},    {1, 0, 1, 0, true, 1},   {1, 's', 5, 0, true, 0},
        {1, 0, 9, 0, true, 0},    {0, 's', 1, 0, true, 1}, {0, 's', 2, 0, false, 7},
        {0, 's', 0, 0, false, 7}, {0, 0, 1, 0, false, 7},  {0, 'u', 1, 0, false, 7},
        {1, 's', 1, 1, false, 7},
    };
    for (const auto& c : cases) {
        ResetWorld();
        correctOnLaunch = c.correct;
        launchMode = c.mode;
        scheduleIndex = c.index;
        activeQueries = c.active;
        quitAfterCorrection = 7; // shows whether the trigger gave it a value
        lastRunTime = 1;
        LaunchTrigger();
        EXPECT_EQ(RunStartedNow(), c.runs) << int{c.correct} << c.mode << c.index << c.active;
        EXPECT_EQ(quitAfterCorrection, c.quit) << int{c.correct} << c.mode << c.index;
    }
}

// ---- whole runs against scripted servers ----

void AddServers(int count, SimServerKind kind, int64_t offsetMs) {
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof name, "127.0.0.%d", i + 2);
        ASSERT_EQ(AddServer(name), i);
        SimAddServer(SimAddress(127, 0, 0, i + 2), SimServer{kind, offsetMs, 5, 20, -1});
    }
}

bool RunOver() {
    return !RunGoingOn();
}

// What the status line (or the tip) says of a try again.
std::string Said(bool tip = false) {
    char status[128] = "", tipText[64] = "";
    RetryTexts(status, sizeof status, tipText, sizeof tipText);
    return tip ? tipText : status;
}

// Start-up as the main window does it, then the launch trigger.
void Launch(uint8_t correct, char mode, int32_t index) {
    correctOnLaunch = correct;
    launchMode = mode;
    scheduleIndex = index;
    ApplySchedule();
    lastRunTime = lastCorrectionTime;
    PlatformSetTimer(mainDialog, TIMER_CLOCK, 10000);
    LaunchTrigger();
}

TEST_F(Schedule, SilentLaunchCorrectionEndsTheProgram) {
    const struct {
        const char* what;
        int32_t index;
        bool menuOpened;
        int destroys;
    } cases[] = {{"on startup", 1, false, 1},
                 {"on startup, tray menu opened", 1, true, 0},
                 {"periodic schedule stays", 5, false, 0}};
    for (const auto& c : cases) {
        ResetWorld();
        AddServers(4, SIM_ANSWER, 3000);
        Launch(0, 's', c.index);
        if (c.index != 1) {
            correctOnLaunch = 1;
            LaunchTrigger();
        }
        ASSERT_TRUE(RunUntil(RunOver, 60000)) << c.what;
        EXPECT_EQ(SimClockSetCount(), 1) << c.what;
        RunFor(5000);
        if (c.menuOpened) {
            quitAfterCorrection = 0; // what opening the tray menu does
        }
        RunFor(4990);
        EXPECT_EQ(SimDestroyCount(), 0) << c.what << ": ended before ten seconds";
        RunFor(1000);
        EXPECT_EQ(SimDestroyCount(), c.destroys) << c.what;
        EXPECT_FALSE(SimTimerActive(TIMER_QUIT)) << c.what;
    }
}

TEST_F(Schedule, FailedLaunchRunKeepsRunning) {
    AddServers(3, SIM_REFUSE, 0);
    Launch(1, 's', 1);
    ASSERT_TRUE(RunUntil(RunOver, 5000));
    EXPECT_EQ(SimClockSetCount(), 0);
    EXPECT_EQ(serverTable[0].status, Refused);
    RunFor(60000);
    EXPECT_EQ(SimDestroyCount(), 0);
    EXPECT_FALSE(SimTimerActive(TIMER_QUIT));
}

TEST_F(Schedule, FirstTickWithoutStoredCorrectionRuns) {
    AddServers(1, SIM_ANSWER, 0);
    Launch(0, 's', 4);
    EXPECT_EQ(SimConnectCount(SimAddress(127, 0, 0, 2)), 0);
    RunFor(9999);
    EXPECT_EQ(SimConnectCount(SimAddress(127, 0, 0, 2)), 0);
    RunFor(1);
    ASSERT_EQ(activeQueries, 1) << "no run at the first tick";
    ASSERT_TRUE(RunUntil(RunOver, 60000));
    EXPECT_EQ(SimConnectCount(SimAddress(127, 0, 0, 2)), SAMPLE_COUNT);
    EXPECT_EQ(serverTable[0].status, Used);
}

// A correction that the platform refuses for lack of privilege stores no time, yet the
// schedule counts from the attempt: the next run comes a whole interval later, not at the
// next tick.
TEST_F(Schedule, RefusedCorrectionWaitsAWholeInterval) {
    AddServers(1, SIM_ANSWER, 3000);
    SimSetClockFailure(PLATFORM_ERROR_PRIVILEGE_NOT_HELD);
    Launch(0, 's', 2); // every 5 minutes, nothing stored: the first tick runs
    ASSERT_TRUE(RunUntil(
        [] { return !RunGoingOn() && SimConnectCount(SimAddress(127, 0, 0, 2)) > 0; }, 60000));
    EXPECT_EQ(lastCorrectionTime, 0);
    EXPECT_EQ(SimClockSetCount(), 0);
    EXPECT_EQ(Said(), "Not allowed to set the clock; no retry");
    RunFor(300000 - 1000);
    EXPECT_EQ(SimConnectCount(SimAddress(127, 0, 0, 2)), SAMPLE_COUNT);
    RunFor(12000);
    EXPECT_GT(SimConnectCount(SimAddress(127, 0, 0, 2)), SAMPLE_COUNT) << "no second run";
}

TEST_F(Schedule, ShorterIntervalMakesARunDue) {
    AddServers(1, SIM_ANSWER, 0);
    lastCorrectionTime = NowMs() - HOUR;
    Launch(0, 's', 8);
    RunFor(30000);
    EXPECT_EQ(SimConnectCount(SimAddress(127, 0, 0, 2)), 0);
    OnScheduleSlider(2);
    RunFor(10000);
    EXPECT_GT(SimConnectCount(SimAddress(127, 0, 0, 2)), 0);
}

// ---- every way a run comes and goes, in virtual time ----

constexpr int64_t MINUTE = 60000;

uint32_t Server(int i) {
    return SimAddress(127, 0, 0, i + 2);
}

// The first server's connections stand for the tries: one per try while it fails.
int Tries() {
    return SimConnectCount(Server(0));
}

int64_t TryAt(int k) {
    return static_cast<int64_t>(SimConnectTime(Server(0), k));
}

void Appear(uintptr_t count) {
    for (int i = 0; i < static_cast<int>(count); i++) {
        SimAddServer(Server(i), SimServer{SIM_ANSWER, 3000, 5, 20, -1});
    }
}

bool ClockSet() {
    return SimClockSetCount() > 0;
}

void LaunchRunRetriedUntilServersAppear() {
    AddServers(3, SIM_REFUSE, 0);
    SimScheduleCall(150000, Appear, 3);
    Launch(1, 's', 0);
    RunFor(1000);
    EXPECT_EQ(Said(), "No server answered; next try in 1 min");
    RunFor(178000);
    ASSERT_EQ(Tries(), 2);
    EXPECT_NEAR(TryAt(1), MINUTE, 100);
    ASSERT_TRUE(RunUntil(ClockSet, MINUTE));
    EXPECT_NEAR(TryAt(2), 3 * MINUTE, 100);
    EXPECT_FALSE(retry.pending || retry.failures != 0);
}

void OnStartupEndsTenSecondsAfterItsFirstSuccess() {
    AddServers(3, SIM_REFUSE, 0);
    SimScheduleCall(30000, Appear, 3);
    Launch(0, 's', 1);
    ASSERT_TRUE(RunUntil(ClockSet, 2 * MINUTE));
    const uint64_t at = SimElapsedMs();
    RunUntil([] { return SimDestroyCount() > 0; }, MINUTE);
    EXPECT_NEAR(static_cast<double>(SimElapsedMs() - at), 10000, 500);
}

void OnStartupGivesUpAfterADay() {
    AddServers(1, SIM_REFUSE, 0);
    Launch(0, 's', 1);
    RunFor(23 * HOUR);
    EXPECT_EQ(SimDestroyCount(), 0);
    const int tries = Tries();
    EXPECT_EQ(tries, 1 + 5 + 44); // the ladder to 30 minutes, then every 30
    RunFor(2 * HOUR);
    EXPECT_EQ(SimDestroyCount(), 1);
    EXPECT_LE(Tries(), tries + 2);
}

// No server at the address: every connection times out, after 21 s.
void HourlyGapsNeverExceedTheHour() {
    ASSERT_EQ(AddServer("127.0.0.2"), 0);
    Launch(0, 's', 4);
    RunFor(5 * HOUR);
    ASSERT_EQ(Tries(), 14);
    for (int k = 1; k < Tries(); k++) {
        const uint32_t gap = RETRY_GAPS_MS[k - 1 < RETRY_GAP_COUNT ? k - 1 : RETRY_GAP_COUNT - 1];
        EXPECT_NEAR(TryAt(k) - TryAt(k - 1), gap + SIM_NO_SERVER_TIMEOUT_MS, 300) << k;
    }
    EXPECT_EQ(Said(true).substr(0, 45), "Outgoing TCP port 37 may be blocked; next try");
}

// Every lookup fails: the tries are the lookups.
void EveryFiveMinutesOfflineTriesOncePerFiveMinutes() {
    ASSERT_EQ(AddServer("time.example.org"), 0);
    SimAddLookup("time.example.org", 0, 11004 /* WSANO_DATA */);
    Launch(0, 's', 2);
    RunFor(2 * HOUR);
    // After 1, 2 and 4 minutes, never more often than the schedule itself.
    EXPECT_EQ(SimLookupCount("time.example.org"), 1 + 3 + 22);
    RunFor(MINUTE);
    EXPECT_EQ(Said(), "Network seems down; next try in 2 min");
}

void UsersFailedRunIsNotRetriedNorMovesTheSchedule() {
    AddServers(1, SIM_REFUSE, 0);
    lastCorrectionTime = NowMs() - 30 * MINUTE;
    Launch(0, 's', 4);
    PressRunButton();
    RunFor(29 * MINUTE);
    EXPECT_EQ(Tries(), 1);
    EXPECT_FALSE(retry.pending);
    EXPECT_EQ(lastRunTime, lastCorrectionTime);
    RunFor(2 * MINUTE); // the schedule, due an hour after the last success
    EXPECT_EQ(Tries(), 2);
}

// One server an hour off is not enough to step the clock by an hour.
void RefusedStepIsRetried() {
    AddServers(1, SIM_ANSWER, HOUR);
    Launch(1, 's', 4);
    ASSERT_TRUE(RunUntil(RunOver, MINUTE));
    EXPECT_EQ(Said(), "Large step refused; next try in 1 min");
    const int tries = Tries();
    RunFor(MINUTE + 1000);
    EXPECT_GT(Tries(), tries);
}

void SliderCancelsAPendingTry() {
    AddServers(1, SIM_REFUSE, 0);
    lastCorrectionTime = NowMs() - 2 * HOUR;
    Launch(0, 's', 4);
    RunFor(11000);
    ASSERT_TRUE(retry.pending);
    OnScheduleSlider(6); // daily: the last success, two hours ago, is recent enough
    EXPECT_EQ(Said(), "");
    RunFor(3 * HOUR);
    EXPECT_EQ(Tries(), 1);
}

void ResumeRunsOnlyWhenTheLastSuccessIsStale() {
    for (const int64_t ago : {2 * HOUR, 30 * MINUTE}) {
        ResetWorld();
        AddServers(3, SIM_ANSWER, 0);
        lastCorrectionTime = NowMs() - ago;
        Launch(0, 's', 6);
        RunFor(30000);
        OnPowerBroadcast(POWER_RESUME_AUTOMATIC);
        RunFor(19900);
        EXPECT_EQ(Tries(), 0) << ago;
        RunFor(300);
        EXPECT_EQ(Tries(), ago > HOUR ? 1 : 0) << ago;
    }
}

// A resume that arrives inside a box, whose queue cannot be posted at its end either: handed
// on only at the next tick, the run still comes 20 s after the resume arrived.
void ResumeDuringABox() {
    OnPowerBroadcast(POWER_RESUME_SUSPEND);
    SimFailPosts(1);
}

void ResumeHandedOnLaterCountsFromItsArrival() {
    AddServers(3, SIM_ANSWER, 0);
    lastCorrectionTime = NowMs() - 2 * HOUR;
    Launch(0, 's', 6);
    RunFor(5000);
    SimSetWaitHook(SIM_WAIT_BOX, ResumeDuringABox);
    WaitForBox(mainDialog, "text", "caption", BOX_OK);
    EXPECT_FALSE(retry.pending);
    RunFor(19900);
    EXPECT_EQ(Tries(), 0);
    RunFor(300);
    EXPECT_EQ(Tries(), 1);
}

void SuspendStopsTheRun() {
    AddServers(2, SIM_SILENT, 0);
    Launch(1, 's', 0);
    RunFor(1000);
    ASSERT_TRUE(RunGoingOn());
    OnPowerBroadcast(POWER_SUSPEND);
    EXPECT_TRUE(RunOver());
    EXPECT_EQ(serverTable[0].status, Interrupted);
    EXPECT_EQ(Said(), "Stopped; next try in 1 min"); // no failure: the ladder stays
}

void FutureLastCorrection() {
    for (const int64_t ahead : {29 * DAY, 2 * MINUTE}) {
        ResetWorld();
        AddServers(1, SIM_REFUSE, 0);
        lastCorrectionTime = NowMs() + ahead;
        Launch(0, 's', 4);
        RunFor(10000);
        EXPECT_EQ(Tries(), ahead > 5 * MINUTE ? 1 : 0) << ahead;
        // Whatever was stored, a run comes an interval after the start at the latest.
        RunFor(HOUR + 1000);
        EXPECT_GE(Tries(), 1) << ahead;
    }
}

// Another program sets the clock during the run, one server silent: the run ends 20 s after
// its last completed connection, the answering servers count, and the clock is set right.
void ClockSetDuringARun() {
    for (const int64_t step : {HOUR, -HOUR}) {
        ResetWorld();
        AddServers(3, SIM_ANSWER, 0);
        ASSERT_EQ(AddServer("127.0.0.9"), 3);
        SimAddServer(SimAddress(127, 0, 0, 9), SimServer{SIM_SILENT, 0, 5, 20, -1});
        Launch(1, 's', 0);
        RunFor(2000);
        CivilTime other{};
        PlatformFileTimeToCivil(SimWallClock() + static_cast<uint64_t>(step * 10000), &other);
        ASSERT_TRUE(PlatformSetSystemTime(other));
        ASSERT_TRUE(RunUntil(RunOver, 10 * MINUTE));
        int64_t last = 0;
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(serverTable[i].status, Used) << step;
            last = std::max(last, static_cast<int64_t>(SimConnectTime(Server(i), 6)) + 5);
        }
        EXPECT_EQ(serverTable[3].status, SlowResponse) << step;
        EXPECT_NEAR(static_cast<double>(SimElapsedMs() - last), ANSWER_WAIT_MS + 100, 150);
        EXPECT_NEAR(static_cast<double>(SimWallClock() - SimTrueClock()), 0, 1e7) << step;
    }
}

void ExitDuringABox() {
    RequestExit();
    SimFailPosts(1);
}

void FailedPostOfTheQueueStillExits() {
    Launch(0, 's', 4);
    lastRunTime = NowMs();
    SimSetWaitHook(SIM_WAIT_BOX, ExitDuringABox);
    WaitForBox(mainDialog, "text", "caption", BOX_OK);
    EXPECT_EQ(fakeLog.exitCount, 0);
    RunFor(10000);
    EXPECT_EQ(fakeLog.exitCount, 1);
}

TEST_F(Schedule, RunsComeAndGo) {
    const struct {
        const char* what;
        void (*play)();
    } rows[] = {
        {"a launch run fails, the try at 3 minutes corrects", LaunchRunRetriedUntilServersAppear},
        {"On Startup fails, succeeds, ends 10 s after",
         OnStartupEndsTenSecondsAfterItsFirstSuccess},
        {"On Startup fails for a day and ends", OnStartupGivesUpAfterADay},
        {"hourly keeps failing, no gap beyond the hour", HourlyGapsNeverExceedTheHour},
        {"every 5 minutes offline", EveryFiveMinutesOfflineTriesOncePerFiveMinutes},
        {"a user's run fails", UsersFailedRunIsNotRetriedNorMovesTheSchedule},
        {"a refused step is retried", RefusedStepIsRetried},
        {"the slider cancels a pending try", SliderCancelsAPendingTry},
        {"a resume, stale or fresh", ResumeRunsOnlyWhenTheLastSuccessIsStale},
        {"a resume handed on later", ResumeHandedOnLaterCountsFromItsArrival},
        {"a suspend stops the run", SuspendStopsTheRun},
        {"a last correction in the future", FutureLastCorrection},
        {"the clock set during a run", ClockSetDuringARun},
        {"a failed post of the queue with an exit", FailedPostOfTheQueueStillExits},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        row.play();
    }
}

} // namespace
