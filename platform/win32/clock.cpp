// Wall clock on Win32.
#include <windows.h>

#include "platform/clock.h"

static_assert(sizeof(SYSTEMTIME) == sizeof(CivilTime), "CivilTime mirrors SYSTEMTIME");

static FILETIME ToFileTime(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

static uint64_t FromFileTime(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

static SYSTEMTIME ToSystemTime(const CivilTime& c) {
    SYSTEMTIME st;
    st.wYear = c.year;
    st.wMonth = c.month;
    st.wDayOfWeek = c.dayOfWeek;
    st.wDay = c.day;
    st.wHour = c.hour;
    st.wMinute = c.minute;
    st.wSecond = c.second;
    st.wMilliseconds = c.milliseconds;
    return st;
}

uint64_t PlatformGetSystemTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return FromFileTime(ft);
}

bool PlatformSetSystemTime(const CivilTime& utc) {
    SYSTEMTIME st = ToSystemTime(utc);
    return SetSystemTime(&st) != 0;
}

bool PlatformFileTimeToCivil(uint64_t fileTime, CivilTime* out) {
    FILETIME ft = ToFileTime(fileTime);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) {
        return false;
    }
    out->year = st.wYear;
    out->month = st.wMonth;
    out->dayOfWeek = st.wDayOfWeek;
    out->day = st.wDay;
    out->hour = st.wHour;
    out->minute = st.wMinute;
    out->second = st.wSecond;
    out->milliseconds = st.wMilliseconds;
    return true;
}

uint64_t PlatformFileTimeToLocal(uint64_t utcFileTime) {
    FILETIME utc = ToFileTime(utcFileTime);
    FILETIME local = utc;
    if (!FileTimeToLocalFileTime(&utc, &local)) {
        local = utc;
    }
    return FromFileTime(local);
}

uint32_t PlatformLastError() {
    return GetLastError();
}

void PlatformSetPriorityClass(uint32_t priorityClass) {
    SetPriorityClass(GetCurrentProcess(), priorityClass);
}
