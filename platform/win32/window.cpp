// Window services on Win32.
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cstring>

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

// A sent broadcast waits for every top-level window in turn, so any program could hold this
// one up for as long as it has windows. Vista and later send it themselves.
void PlatformAnnounceTimeChange() {
    if (LOBYTE(LOWORD(GetVersion())) >= 6) {
        return;
    }
    PostMessageA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0);
}

WindowHandle PlatformNextDialog(WindowHandle after, const char* title, int32_t control) {
    HWND candidate = Hwnd(after);
    while ((candidate = FindWindowExA(nullptr, candidate, "#32770", title)) != nullptr) {
        if (GetDlgItem(candidate, control) != nullptr) {
            return candidate;
        }
    }
    return nullptr;
}

// The integrity level is the last part of the label's SID (S-1-16-12288 is high). Only a
// limited query is asked for, which an elevated process may make of any other.
bool PlatformWindowElevated(WindowHandle window) {
    if (LOBYTE(LOWORD(GetVersion())) < 6) {
        return true;
    }
    DWORD processId = 0;
    if (GetWindowThreadProcessId(Hwnd(window), &processId) == 0) {
        return false;
    }
    constexpr DWORD QUERY_LIMITED_INFORMATION = 0x1000;
    HANDLE process = OpenProcess(QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    bool elevated = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[SECURITY_MAX_SID_SIZE + 16];
        DWORD size = 0;
        if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
            const PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
            const UCHAR parts = IsValidSid(label) ? *GetSidSubAuthorityCount(label) : 0;
            elevated = parts > 0 && *GetSidSubAuthority(label, parts - 1U) >=
                                        static_cast<DWORD>(SECURITY_MANDATORY_HIGH_RID);
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return elevated;
}

void PlatformDestroyWindow(WindowHandle window) {
    DestroyWindow(Hwnd(window));
}

bool PlatformPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageA(Hwnd(window), message, wParam, lParam) != 0;
}

// A timer of its own with its own procedure, which the menu's loop dispatches like any other
// message: it reaches neither the window procedure nor the queue of what waits.
constexpr UINT_PTR MENU_LIFE_TIMER = 0x4D45;

static void CALLBACK EndMenuNow(HWND, UINT, UINT_PTR, DWORD) {
    EndMenu();
}

void PlatformTrackMenu(WindowHandle owner, void* menu, int32_t x, int32_t y, uint32_t lifeMs) {
    const UINT_PTR timer = SetTimer(Hwnd(owner), MENU_LIFE_TIMER, lifeMs, EndMenuNow);
    TrackPopupMenu(static_cast<HMENU>(menu), 0, x, y, 0, Hwnd(owner), nullptr);
    if (timer != 0) {
        KillTimer(Hwnd(owner), MENU_LIFE_TIMER);
    }
}

bool PlatformNotifyTray(uint32_t action, const void* record) {
    auto* data = static_cast<NOTIFYICONDATAA*>(const_cast<void*>(record));
    return Shell_NotifyIconA(action, data) != FALSE;
}

bool PlatformSendCommand(WindowHandle window, uint32_t command, uint32_t timeoutMs) {
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(Hwnd(window), WM_COMMAND, command, 0, SMTO_NORMAL, timeoutMs,
                               &answer) != 0;
}

// A message box is a dialog of the system's class, top-level and owned by this thread. Ended
// as a dialog, it returns the answer given here to whoever waits in it, whatever its buttons.
static BOOL CALLBACK CloseOneBox(HWND window, LPARAM keep) {
    char className[8] = {};
    GetClassNameA(window, className, sizeof className);
    if (window != reinterpret_cast<HWND>(keep) && strcmp(className, "#32770") == 0) {
        EndDialog(window, IDCANCEL);
    }
    return TRUE;
}

void PlatformCloseBoxesAndMenus(WindowHandle keep) {
    EndMenu();
    EnumThreadWindows(GetCurrentThreadId(), CloseOneBox, reinterpret_cast<LPARAM>(keep));
}
