#include "time/timebase.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/counter.h"
#include "time/fatal.h"

uint64_t tickFrequency = 0;

void ResetTimebaseGlobals() {
    tickFrequency = 0;
}

// Truncating division first, so that the part below a millisecond is dropped rather than
// carried into the next one.
Ms1900 FileTimeToMs1900(uint64_t fileTime) {
    return static_cast<Ms1900>(fileTime / 10000) - EPOCH_DISTANCE_MS;
}

// Unsigned, so that an absurd time wraps instead of overflowing.
uint64_t Ms1900ToFileTime(Ms1900 t) {
    return (static_cast<uint64_t>(t) + static_cast<uint64_t>(EPOCH_DISTANCE_MS)) * 10000u;
}

Ms1900 NowMs() {
    return FileTimeToMs1900(PlatformGetSystemTime());
}

// The latest time the platform clock can hold: file times stop at 2^63 - 1.
constexpr Ms1900 LATEST_SETTABLE_MS = static_cast<Ms1900>(INT64_MAX / 10000) - EPOCH_DISTANCE_MS;

// The wall clock and the tick are read as one pair: were the thread held between the two
// reads, every time of the run would be off by that hold. So the wall read is bracketed by two
// ticks and read again, a few times at most, while they lie more than a millisecond apart.
RunClock StartRunClock() {
    RunClock clock = {};
    for (int attempt = 0; attempt < 4; attempt++) {
        const TickMs before = ReadTickMs();
        clock.wall = NowMs();
        clock.tick = ReadTickMs();
        if (static_cast<TickMs>(clock.tick - before) <= 1) {
            break;
        }
    }
    return clock;
}

// A run lasts minutes, far less than the tick's 49 days; the signed difference also places a
// tick taken a little before the run (the last connection to an address, say).
Ms1900 RunClockAt(const RunClock& clock, TickMs tick) {
    return clock.wall + static_cast<int32_t>(tick - clock.tick);
}

Ms1900 RunClockNow(const RunClock& clock) {
    return clock.wall == 0 ? NowMs() : RunClockAt(clock, ReadTickMs());
}

// The clock is read and set under the real-time class so that nothing runs between the read
// and the set; the gap would otherwise be lost from the correction. A target outside the
// platform's dates (an absurd offset, say) is not wrapped into some other date: it fails like
// any refusal other than the privilege.
Ms1900 AdjustSystemClockFrom(const RunClock& clock, int64_t delta) {
    PlatformSetPriorityClass(PRIORITY_CLASS_REALTIME);
    const Ms1900 now = RunClockNow(clock);
    bool representable =
        delta >= 0 ? now <= LATEST_SETTABLE_MS - delta : now >= -EPOCH_DISTANCE_MS - delta;
    Ms1900 t = representable ? now + delta : 0;
    uint32_t error = 0;
    CivilTime utc = {};
    if (representable) {
        PlatformFileTimeToCivil(Ms1900ToFileTime(t), &utc);
        if (!PlatformSetSystemTime(utc)) {
            t = 0;
            // Read at once: the priority call below may change the last error.
            error = PlatformLastError();
        }
    }
    PlatformSetPriorityClass(PRIORITY_CLASS_NORMAL);
    if (t == 0 && (!representable || error != PLATFORM_ERROR_PRIVILEGE_NOT_HELD)) {
        FatalError("Cannot set the system time");
    }
    return t;
}

Ms1900 AdjustSystemClock(int64_t delta) {
    return AdjustSystemClockFrom(RunClock{}, delta);
}

void FormatDateTime(Ms1900 t, char* out) {
    CivilTime local = {};
    PlatformFileTimeToCivil(PlatformFileTimeToLocal(Ms1900ToFileTime(t)), &local);
    unsigned hour = local.hour % 12u;
    if (hour == 0) {
        hour = 12;
    }
    char letter = local.hour < 12 ? 'a' : 'p';
    // Valid dates need at most 23 characters; the larger scratch buffer only keeps the
    // compiler from worrying about fields it cannot bound.
    char text[64];
    snprintf(text, sizeof text, "%u:%02u:%02u%cm on %u/%u/%02u ", hour, unsigned{local.minute},
             unsigned{local.second}, letter, unsigned{local.month}, unsigned{local.day},
             local.year % 100u);
    const size_t length = strnlen(text, DATE_TIME_TEXT_SIZE - 1);
    memcpy(out, text, length);
    out[length] = 0;
}

// A machine without a usable counter gets a tick of whole milliseconds from the wall clock
// instead; a frequency of 0 would otherwise divide by zero. The wall clock can jump when it
// is set, so latencies measured across a correction may then be off, but nothing breaks.
static TickMs FallbackTick() {
    return static_cast<TickMs>(PlatformGetSystemTime() / 10000);
}

// Exact for any count and any frequency up to 10 GHz: whole seconds and the counts left over
// are converted apart, and (rest * 1000) stays below 2^64 for any frequency below 2^54. A
// factor truncated to 32 fractional bits lost 10 ms in 30 s at 2.4 GHz. The whole seconds'
// product may wrap at 2^64; the tick keeps only its low 32 bits, which the wrap leaves right.
TickMs ReadTickMs() {
    if (tickFrequency == 0) {
        tickFrequency = PlatformCounterFrequency();
        if (tickFrequency == 0) {
            return FallbackTick();
        }
    }
    const uint64_t c = PlatformCounterValue();
    const uint64_t seconds = c / tickFrequency;
    const uint64_t rest = c % tickFrequency;
    return static_cast<TickMs>(seconds * 1000u + rest * 1000u / tickFrequency);
}
