#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/counter.h"
#include "platform/sim/sim.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"
#include "time/timebase.h"

namespace {

constexpr uint64_t EPOCH_1900_FILETIME = uint64_t{EPOCH_DISTANCE_MS} * 10000;

class TimeBase : public ::testing::Test {
  protected:
    void SetUp() override { ResetWorld(); }
};

// Local instants from the table of worked examples, as Ms1900 of the same UTC wall time.
struct DateTimeCase {
    Ms1900 t;
    const char* text;
};
const DateTimeCase DATE_TIME_CASES[] = {
    {3256635909000, "1:05:09pm on 3/14/03 "},   // 2003-03-14 13:05:09
    {3155673600000, "12:00:00am on 1/1/00 "},   // 2000-01-01 00:00:00
    {3345021007000, "12:30:07pm on 12/31/05 "}, // 2005-12-31 12:30:07
    {3140510399000, "11:59:59am on 7/9/99 "},   // 1999-07-09 11:59:59
    {3389688000000, "12:00:00pm on 6/1/07 "},   // 2007-06-01 12:00:00
    {3389688000999, "12:00:00pm on 6/1/07 "},   // milliseconds never round up
};

TEST_F(TimeBase, FormatDateTimeWorkedExamples) {
    for (const DateTimeCase& c : DATE_TIME_CASES) {
        char text[DATE_TIME_TEXT_SIZE];
        memset(text, 'x', sizeof text);
        FormatDateTime(c.t, text);
        EXPECT_STREQ(text, c.text) << c.t;
    }
}

TEST_F(TimeBase, FormatDateTimeShowsLocalTime) {
    char text[DATE_TIME_TEXT_SIZE];
    SimSetTimeZone(60); // an hour east of UTC
    FormatDateTime(3256635909000, text);
    EXPECT_STREQ(text, "2:05:09pm on 3/14/03 ");
    SimSetTimeZone(-300); // five hours west: the date goes back a day
    FormatDateTime(3155673600000, text);
    EXPECT_STREQ(text, "7:00:00pm on 12/31/99 ");
}

// The clock display as the wall clock passes the change, and a time from before the change
// shown after it: local time is the zone's rule now, as the platform converts it.
TEST_F(TimeBase, FormatDateTimeAcrossDaylightSavingChange) {
    // Five hours west, one more hour of daylight saving from 2026-03-08 07:00 UTC.
    const uint64_t change = 134174268000000000;
    SimSetTimeZone(-300, 60, change, change + 1000ull * 86400 * 10000000);
    SimSetWallClock(change - 10000000);
    char text[DATE_TIME_TEXT_SIZE];
    FormatDateTime(NowMs(), text);
    EXPECT_STREQ(text, "1:59:59am on 3/8/26 ");
    RunFor(1000);
    FormatDateTime(NowMs(), text);
    EXPECT_STREQ(text, "3:00:00am on 3/8/26 ");
    FormatDateTime(3981941999000, text);
    EXPECT_STREQ(text, "2:59:59am on 3/8/26 ");
}

TEST_F(TimeBase, NowMsDropsRemainderAtEpoch) {
    const struct {
        uint64_t fileTime;
        Ms1900 expected;
    } cases[] = {
        {EPOCH_1900_FILETIME, 0},
        {EPOCH_1900_FILETIME + 9999, 0},
        {EPOCH_1900_FILETIME + 10000, 1},
        {EPOCH_1900_FILETIME + 19999, 1},
        {EPOCH_1900_FILETIME - 1, -1}, // a moment before 1900 is still truncated, not rounded
        {EPOCH_1900_FILETIME + 4294967296ull * 10000000, 4294967296000},
    };
    for (const auto& c : cases) {
        SimSetWallClock(c.fileTime);
        EXPECT_EQ(NowMs(), c.expected) << c.fileTime;
    }
}

TEST_F(TimeBase, AdjustSystemClockMovesClockAndRestoresPriority) {
    SimSetWallClock(Ms1900ToFileTime(3981942000000) + 7777); // sub-millisecond part is dropped
    for (int64_t delta : {int64_t{0}, int64_t{-1500}, int64_t{86400000}}) {
        Ms1900 before = NowMs();
        int changes = SimPriorityChangeCount();
        Ms1900 set = AdjustSystemClock(delta);
        EXPECT_EQ(set, before + delta);
        EXPECT_EQ(NowMs(), set);
        EXPECT_EQ(SimWallClock() % 10000, 0u) << "the clock is set to a whole millisecond";
        EXPECT_EQ(SimPriorityClass(), PRIORITY_CLASS_NORMAL);
        EXPECT_EQ(SimPriorityChangeCount(), changes + 2);
    }
    EXPECT_EQ(fakeLog.fatalCount, 0);
}

TEST_F(TimeBase, AdjustSystemClockFailures) {
    const struct {
        uint32_t error;
        int fatalCount;
    } cases[] = {
        {PLATFORM_ERROR_PRIVILEGE_NOT_HELD, 0}, // refused quietly, the caller decides
        {5, 1},                                 // anything else is fatal
        {87, 1},
    };
    for (const auto& c : cases) {
        ResetWorld();
        SimSetClockFailure(c.error);
        uint64_t wall = SimWallClock();
        EXPECT_EQ(AdjustSystemClock(5000), 0);
        EXPECT_EQ(SimWallClock(), wall);
        EXPECT_EQ(SimClockSetCount(), 0);
        EXPECT_EQ(SimPriorityClass(), PRIORITY_CLASS_NORMAL);
        EXPECT_EQ(fakeLog.fatalCount, c.fatalCount);
        EXPECT_EQ(SimBoxCount(), 0);
        if (c.fatalCount != 0) {
            EXPECT_STREQ(fakeLog.fatalText, "Cannot set the system time");
        }
    }
}

// A delta that leaves the platform's range of dates is refused like any failure but the
// privilege, instead of setting a wrapped time.
TEST_F(TimeBase, AdjustSystemClockOutOfRange) {
    for (int64_t delta : {INT64_MAX, INT64_MIN, -EPOCH_DISTANCE_MS - 3976214400001}) {
        ResetWorld();
        uint64_t wall = SimWallClock();
        EXPECT_EQ(AdjustSystemClock(delta), 0) << delta;
        EXPECT_EQ(SimWallClock(), wall);
        EXPECT_STREQ(fakeLog.fatalText, "Cannot set the system time");
        EXPECT_EQ(SimPriorityClass(), PRIORITY_CLASS_NORMAL);
    }
}

TEST_F(TimeBase, TickDifferencesSurviveTheWrap) {
    // A 1 kHz counter makes tick = count, so the tick can be placed just before its wrap.
    SimSetCounter(4294967290ull, 1000);
    TickMs before = ReadTickMs();
    EXPECT_EQ(before, 4294967290u);
    RunFor(11);
    TickMs after = ReadTickMs();
    EXPECT_EQ(after, 5u);
    EXPECT_EQ(static_cast<TickMs>(after - before), 11u);
}

// The tick is floor(count * 1000 / frequency) modulo 2^32, to the millisecond, for a counter
// anywhere in its range: over 30 s and over 40 days, starting near the counter's top.
TEST_F(TimeBase, TickIsExactAtUsualFrequencies) {
    const uint64_t frequencies[] = {3579545, 10000000, 2400000000, 3000000000};
    const uint64_t spans[] = {30000, 40 * uint64_t{86400000}};
    for (const uint64_t frequency : frequencies) {
        for (const uint64_t span : spans) {
            for (const uint64_t start :
                 {uint64_t{123456789}, UINT64_MAX - uint64_t{41} * 86400 * frequency}) {
                SCOPED_TRACE(testing::Message()
                             << frequency << " Hz, " << span << " ms from " << start);
                ResetWorld();
                SimSetCounter(start, frequency);
                const TickMs before = ReadTickMs();
                EXPECT_EQ(tickFrequency, frequency);
                const auto exact =
                    static_cast<TickMs>(static_cast<unsigned __int128>(start) * 1000 / frequency);
                EXPECT_EQ(before, exact);
                SimSetCounter(start + span * frequency / 1000, frequency);
                EXPECT_EQ(static_cast<TickMs>(ReadTickMs() - before), span);
            }
        }
    }
}

TEST_F(TimeBase, TickWithoutCounterStillAdvances) {
    SimSetCounter(0, 0);
    TickMs before = ReadTickMs();
    RunFor(1234);
    EXPECT_EQ(static_cast<TickMs>(ReadTickMs() - before), 1234u);
}

TEST_F(TimeBase, TickIsUnmovedBySettingTheClock) {
    SimSetCounter(0, 1000);
    TickMs before = ReadTickMs();
    AdjustSystemClock(-3600000);
    RunFor(40);
    EXPECT_EQ(static_cast<TickMs>(ReadTickMs() - before), 40u);
}

// A thread held between the wall read and the tick read would put every time of the run
// that much early; the pair is read again until nothing came between.
TEST_F(TimeBase, RunClockPairsTheWallWithTheTickReadBesideIt) {
    struct Row {
        int heldReads;
        int64_t lateBy; // how far the run's time lags the wall clock
    };
    for (const Row& row : {Row{0, 0}, Row{1, 0}, Row{3, 0}, Row{4, 30}}) {
        SCOPED_TRACE(row.heldReads);
        ResetWorld();
        SimSetCounter(0, 3579545);
        SimHoldAfterClockReads(row.heldReads, 30);
        const RunClock clock = StartRunClock();
        EXPECT_EQ(NowMs() - RunClockNow(clock), row.lateBy);
    }
}

} // namespace
