// What the logic asks of the process when it cannot go on. Declared down here, where the
// lowest layer that needs it can reach it; the program shell supplies it, the tests record it.
#pragma once
#include <cstdint>

// Set when FatalError has begun; from then on the program only waits for its end, and the
// window handles nothing but its destruction.
extern uint8_t fatalShown;

// Tidies up, shows the text, ends the process with exit code 0. A call made while an earlier
// one is still under way returns at once, so callers must cope with it returning.
void FatalError(const char* text);
