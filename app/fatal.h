// The ways out of the program: the one for an unrecoverable error, and the tidying up that
// every end does.
#pragma once
#include <cstdint>

// Set when FatalError has begun; from then on the program only waits for its end.
extern uint8_t fatalShown;
// Set once the socket library was started; it is stopped at every end.
extern uint8_t winsockStarted;

// Tidies up, shows the text, ends the process with exit code 0. A call made while an earlier
// one is still under way returns at once, so callers must cope with it returning.
void FatalError(const char* text);

// Removes the tray icon, stops the timers and interrupts a run in progress (whose finished
// servers still correct the clock, as at the end of any run).
void TearDown();
