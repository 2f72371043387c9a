// The high-resolution performance counter: a monotonic 64-bit count that does not jump when
// the wall clock is set. Frequency is in counts per second.
#pragma once
#include <cstdint>

// Counts per second; 0 when the machine has no such counter.
uint64_t PlatformCounterFrequency();

// The current count; 0 when the machine has no such counter.
uint64_t PlatformCounterValue();
