#include "servers/running_copy.h"

// A fake before the real copy must not hide it, so every candidate is asked in turn.
WindowHandle FindRunningCopy(const char* title, int32_t list) {
    WindowHandle candidate = nullptr;
    while ((candidate = PlatformNextDialog(candidate, title, list)) != nullptr) {
        if (PlatformWindowElevated(candidate)) {
            return candidate;
        }
    }
    return nullptr;
}
