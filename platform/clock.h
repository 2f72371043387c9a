// Wall clock, its conversions and the right to set it.
//
// Units: a "file time" is an unsigned 64-bit count of 100-nanosecond intervals since
// 1601-01-01 00:00:00 UTC, the platform's native clock value. CivilTime is a broken-down
// time with the field order of the platform's own record; month 1-12, dayOfWeek 0 = Sunday.
//
// Nothing outside this header and its two implementations reads or sets the clock.
#pragma once
#include <cstdint>

struct CivilTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};
static_assert(sizeof(CivilTime) == 16, "same layout as the platform's broken-down time");

constexpr uint32_t PRIORITY_CLASS_NORMAL = 32;
constexpr uint32_t PRIORITY_CLASS_REALTIME = 256;

// Error numbers are the platform's own (0 is success).
constexpr uint32_t PLATFORM_ERROR_PRIVILEGE_NOT_HELD = 1314;

// The current UTC time as a file time.
uint64_t PlatformGetSystemTime();

// Sets the clock from a UTC broken-down time. False on failure; the reason is then
// PlatformLastError() (PLATFORM_ERROR_PRIVILEGE_NOT_HELD without the right to set it).
bool PlatformSetSystemTime(const CivilTime& utc);

// File time to broken-down time (no time-zone change). False for an unrepresentable value.
bool PlatformFileTimeToCivil(uint64_t fileTime, CivilTime* out);

// UTC file time to local file time, by the machine's time zone and daylight-saving rule.
uint64_t PlatformFileTimeToLocal(uint64_t utcFileTime);

// The calling thread's last platform error number.
uint32_t PlatformLastError();

// Priority class of the own process (PRIORITY_CLASS_NORMAL or PRIORITY_CLASS_REALTIME).
void PlatformSetPriorityClass(uint32_t priorityClass);
