// The time base on the real platform. CTest runs this suite twice, under TZ=UTC and
// TZ=Asia/Tokyo; each run starts a fresh wineserver, which takes the zone from TZ.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "tests/fakes/fakes.h"
#include "time/timebase.h"

namespace {

uint64_t FileTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(Win32TimeBase, NowMsAgreesWithSystemTime) {
    for (int i = 0; i < 100; i++) {
        Ms1900 before = FileTimeToMs1900(FileTimeNow());
        Ms1900 now = NowMs();
        Ms1900 after = FileTimeToMs1900(FileTimeNow());
        ASSERT_LE(before, now);
        ASSERT_LE(now, after);
    }
    // 2026 or later, and well before the Time protocol's seconds wrap twice.
    EXPECT_GT(NowMs(), 3976214400000);
}

struct ZoneCase {
    const char* zone;
    Ms1900 t;
    const char* text;
};
const ZoneCase ZONE_CASES[] = {
    {"UTC", 3256635909000, "1:05:09pm on 3/14/03 "},
    {"UTC", 3155673600000, "12:00:00am on 1/1/00 "},
    {"UTC", 3140510399000, "11:59:59am on 7/9/99 "},
    {"Asia/Tokyo", 3256635909000, "10:05:09pm on 3/14/03 "},
    {"Asia/Tokyo", 3155673600000, "9:00:00am on 1/1/00 "},
    {"Asia/Tokyo", 3140510399000, "8:59:59pm on 7/9/99 "},
};

TEST(Win32TimeBase, FormatDateTimeInTheMachinesZone) {
    char zone[64] = "";
    GetEnvironmentVariableA("TZ", zone, sizeof zone);
    int checked = 0;
    for (const ZoneCase& c : ZONE_CASES) {
        if (strcmp(c.zone, zone) != 0) {
            continue;
        }
        char text[DATE_TIME_TEXT_SIZE];
        FormatDateTime(c.t, text);
        EXPECT_STREQ(text, c.text) << zone << " " << c.t;
        checked++;
    }
    EXPECT_EQ(checked, 3) << "TZ must be one of the zones of the table, not '" << zone << "'";
}

TEST(Win32TimeBase, TickAdvancesWithRealTime) {
    TickMs tick0 = ReadTickMs();
    DWORD ms0 = GetTickCount();
    Sleep(300);
    TickMs tick1 = ReadTickMs();
    DWORD ms1 = GetTickCount();
    EXPECT_NE(tickFrequency, 0u);
    int64_t byTick = static_cast<TickMs>(tick1 - tick0);
    int64_t bySystem = static_cast<DWORD>(ms1 - ms0);
    EXPECT_GE(byTick, 290);
    EXPECT_NEAR(byTick, bySystem, 40);
}

TEST(Win32TimeBase, AdjustByZeroReturnsTheCurrentTime) {
    ResetFakes();
    Ms1900 before = NowMs();
    Ms1900 set = AdjustSystemClock(0);
    Ms1900 after = NowMs();
    EXPECT_GE(set, before);
    EXPECT_LE(set, after);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fakeLog.fatalCount, 0);
}

// Wine refuses a real change of the clock for lack of privilege: the quiet failure path.
TEST(Win32TimeBase, AdjustWithoutPrivilegeReturnsZeroQuietly) {
    ResetFakes();
    Ms1900 before = NowMs();
    EXPECT_EQ(AdjustSystemClock(5000), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_LT(NowMs() - before, 2000) << "the clock must not have moved";
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fakeLog.fatalCount, 0);
}

} // namespace
