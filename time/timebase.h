// The millisecond time base: absolute times since 1900 (the Time protocol's epoch) and a
// 32-bit millisecond tick for short intervals that does not jump when the clock is set.
#pragma once
#include <cstdint>

// Signed milliseconds since 1900-01-01 00:00:00.000 UTC; 0 means no time.
using Ms1900 = int64_t;
// Unsigned millisecond tick; only unsigned differences mean anything (wraps every ~49.7 days).
using TickMs = uint32_t;

// Milliseconds from 1601-01-01 (the platform clock's epoch) to 1900-01-01: 109207 days.
constexpr int64_t EPOCH_DISTANCE_MS = 9435484800000;
constexpr int DATE_TIME_TEXT_SIZE = 24;

// The counter's counts per second; 0 until the first ReadTickMs.
extern uint64_t tickFrequency;

Ms1900 FileTimeToMs1900(uint64_t fileTime);
uint64_t Ms1900ToFileTime(Ms1900 t);

Ms1900 NowMs();
// Moves the clock by delta ms; returns the time set, or 0 when it could not be set.
Ms1900 AdjustSystemClock(int64_t delta);

// One clock for a whole run: the wall clock read once at its start, and the tick from then
// on. The wall clock moves in steps of its own (about 15.6 ms on Windows) and may be set by
// someone else during a run; measured on the tick, every moment of the run lies on one scale,
// so no bound taken early can shift against one taken late. wall 0: no run clock.
struct RunClock {
    Ms1900 wall;
    TickMs tick;
};
RunClock StartRunClock();
// The run's time at a tick within 24 days either side of the run's start.
Ms1900 RunClockAt(const RunClock& clock, TickMs tick);
// The run's time now: the wall clock at the run's start plus the tick since. Without a run
// clock, the wall clock.
Ms1900 RunClockNow(const RunClock& clock);
// Sets the clock to the run's time now plus delta, with AdjustSystemClock's priority,
// results and failures; without a run clock it is AdjustSystemClock itself.
Ms1900 AdjustSystemClockFrom(const RunClock& clock, int64_t delta);
// "h:mm:ss?m on m/d/yy " in local time; out holds at least DATE_TIME_TEXT_SIZE bytes.
void FormatDateTime(Ms1900 t, char* out);
TickMs ReadTickMs();

// Puts this module's globals back to their start values (for tests).
void ResetTimebaseGlobals();
