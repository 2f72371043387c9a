// Signed millisecond amounts as short text with one unit letter: +1.2s, -2.50m, +3.00h.
#pragma once
#include <cstdint>

constexpr int DURATION_TEXT_SIZE = 18; // the longest text, 17 characters, and its zero

void FormatDuration(int64_t value, char* out);
int64_t ParseDuration(const char* text);
