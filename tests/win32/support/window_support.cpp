#include "tests/win32/support/window_support.h"

#include <winsock2.h>
#include <commctrl.h>

#include <cstring>

#include "platform/logon_task.h"
#include "platform/registry.h"
#include "query/display.h"
#include "query/schedule.h"
#include "servers/logon_task.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/win32/support/time_servers.h"
#include "ui/dialog.h"
#include "ui/resource.h"

bool PumpDialog(DWORD ms, const std::function<bool()>& done) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount() - start >= ms) {
            return done();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                continue;
            }
            HWND dialog = MainWindow();
            if (dialog != nullptr && IsDialogMessageA(dialog, &msg)) {
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

BoxAnswerer* BoxAnswerer::current = nullptr;

BoxAnswerer::BoxAnswerer(int answer, std::function<void()> during)
    : answer_(answer), during_(std::move(during)) {
    current = this;
    hook_ = SetWindowsHookExA(WH_CBT, Hook, nullptr, GetCurrentThreadId());
}

BoxAnswerer::~BoxAnswerer() {
    UnhookWindowsHookEx(hook_);
    current = nullptr;
}

// A box is a dialog of the system's class that is not the main dialog; it is answered once,
// by a posted command, so that it closes from inside its own loop.
LRESULT CALLBACK BoxAnswerer::Hook(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = reinterpret_cast<HWND>(wParam);
    char className[16] = {};
    BoxAnswerer* self = current;
    if (code == HCBT_ACTIVATE && self != nullptr && box != MainWindow() && box != self->answered_ &&
        GetClassNameA(box, className, sizeof className) != 0 && strcmp(className, "#32770") == 0) {
        self->answered_ = box;
        char text[512] = {};
        GetWindowTextA(box, text, sizeof text);
        self->captions.emplace_back(text);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        self->texts.emplace_back(text);
        if (self->during_) {
            self->during_();
        }
        PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(self->answer_), 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void ClearProgramRegistry() {
    PlatformRegDeleteKey(SETTINGS_KEY);
    PlatformRegDeleteKey(UNINSTALL_KEY);
    RegKey key = 0;
    if (PlatformRegOpenKey(RUN_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        PlatformRegDeleteValue(key, "Chronoplex");
        PlatformRegCloseKey(key);
    }
    PlatformDeleteLogonTask(LOGON_TASK_NAME);
    StoreBackToBackSampling();
}

HWND CreateMainDialog(bool installDefaults) {
    static bool started = false;
    if (!started) {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        InitCommonControls();
        programInstance = GetModuleHandleA(nullptr);
        started = true;
    }
    needDefaults = installDefaults;
    HWND dialog =
        CreateDialogParamA(programInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    // Every start posts the check of the automatic start; the loop would handle it before
    // anything a test then does, which would otherwise queue behind it.
    MSG msg;
    while (dialog != nullptr &&
           PeekMessageA(&msg, dialog, WM_CHECK_AUTO_START, WM_CHECK_AUTO_START, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
    return dialog;
}

void DestroyMainDialog() {
    if (MainWindow() != nullptr) {
        DestroyWindow(MainWindow());
    }
    PumpDialog(50);
}
