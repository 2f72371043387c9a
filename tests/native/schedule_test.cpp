#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/clock.h"
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

// With an empty table a correction run starts no query; all it leaves is its start time.
bool RunStartedNow() {
    return lastRunTime == NowMs();
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
        {"last run at the end of time", 9, INT64_MIN, 0, false},
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

} // namespace
