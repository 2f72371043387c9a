// The performance counter on Win32.
#include <windows.h>

#include "platform/counter.h"

uint64_t PlatformCounterFrequency() {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f)) {
        return 0;
    }
    return static_cast<uint64_t>(f.QuadPart);
}

uint64_t PlatformCounterValue() {
    LARGE_INTEGER c;
    if (!QueryPerformanceCounter(&c)) {
        return 0;
    }
    return static_cast<uint64_t>(c.QuadPart);
}
