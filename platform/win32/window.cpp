// Window services on Win32.
#include <windows.h>
#include <mmsystem.h>

#include "platform/window.h"

static HWND Hwnd(WindowHandle window) {
    return static_cast<HWND>(window);
}

void PlatformSetTimer(WindowHandle window, uint32_t id, uint32_t periodMs) {
    SetTimer(Hwnd(window), id, periodMs, nullptr);
}

void PlatformKillTimer(WindowHandle window, uint32_t id) {
    KillTimer(Hwnd(window), id);
}

void PlatformFineTimers(bool fine) {
    static bool asked = false;
    if (fine == asked) {
        return;
    }
    asked = fine;
    if (fine) {
        timeBeginPeriod(1);
    } else {
        timeEndPeriod(1);
    }
}

int PlatformMessageBox(WindowHandle owner, const char* text, const char* caption, uint32_t type) {
    return MessageBoxA(Hwnd(owner), text, caption, type);
}

// A plain synchronous broadcast waits for every top-level window, so one hung window would
// hang this program with it. Hung windows are skipped at once, and the limit applies to each
// window in turn: a slow but live window costs at most a second, never forever.
void PlatformBroadcastTimeChange() {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, 1000,
                        &result);
}

void PlatformDestroyWindow(WindowHandle window) {
    DestroyWindow(Hwnd(window));
}

bool PlatformPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageA(Hwnd(window), message, wParam, lParam) != 0;
}
