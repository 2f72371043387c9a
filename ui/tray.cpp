// The notification-area icon and the status line: one routine sets the status text, the
// picture and the tip together, the busy timer animates the picture during a run, and the
// icon's mouse messages open the tray menu or the window.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "query/correction.h"
#include "query/engine_messages.h"
#include "query/schedule.h"
#include "servers/settings.h"
#include "time/duration.h"
#include "time/timebase.h"
#include "ui/dialog.h"
#include "ui/list_tray_detail.h"
#include "ui/resource.h"

int trayBlink = 0;
int trayMenuOpen = 0;

namespace {

constexpr UINT TRAY_ICON_ID = 0;
constexpr int TIP_SIZE = 64; // the shell's first record: 63 characters and the terminator
constexpr int STATUS_TEXT_SIZE = 128;
constexpr int CAPTION_SIZE = 100;

// What the shell was last told, so that a restarted shell can be told it all again.
bool trayAdded = false;
int pictureId = 0;
char tipText[TIP_SIZE] = {};
// The status line's text, set into the control only while the window can be seen.
char statusText[STATUS_TEXT_SIZE] = {};
NOTIFYICONDATAA lastNotice = {};

void CopyTip(const char* text) {
    snprintf(tipText, sizeof tipText, "%s", text);
}

// The shell copies the picture, so the handle is released as soon as it has been sent. The
// size is the one the shell shows, which grows with the display's scale.
void Notify(DWORD action, UINT flags) {
    NOTIFYICONDATAA data = {};
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = MainWindow();
    data.uID = TRAY_ICON_ID;
    data.uFlags = flags;
    data.uCallbackMessage = WM_TRAY_NOTIFY;
    HICON icon = nullptr;
    if ((flags & NIF_ICON) != 0) {
        icon = static_cast<HICON>(LoadImageA(programInstance, MAKEINTRESOURCEA(pictureId),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
        data.hIcon = icon;
    }
    if ((flags & NIF_TIP) != 0) {
        memcpy(data.szTip, tipText, TIP_SIZE);
    }
    WaitForTray(action, &data);
    lastNotice = data;
    if (icon != nullptr) {
        DestroyIcon(icon);
    }
}

// The program runs elevated, and the system keeps messages of a lesser program (the shell)
// from reaching it unless it lets each one through by number.
void AllowShellMessage(UINT message) {
    HMODULE user = GetModuleHandleA("user32.dll");
    if (user == nullptr || message == 0) {
        return;
    }
    using FilterEx = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    using Filter = BOOL(WINAPI*)(UINT, DWORD);
    // Looked up rather than linked: the first call is new in Windows 7, the second in Vista.
    const auto filterEx = reinterpret_cast<FilterEx>(
        reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilterEx")));
    const auto filter = reinterpret_cast<Filter>(
        reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilter")));
    if (filterEx != nullptr) {
        filterEx(MainWindow(), message, 1 /* MSGFLT_ALLOW */, nullptr);
    } else if (filter != nullptr) {
        filter(message, 1 /* MSGFLT_ADD */);
    }
}

void SetPicture(int id) {
    pictureId = id;
    Notify(NIM_MODIFY, NIF_ICON);
}

void ShowTrayMenu() {
    if (trayMenuOpen) {
        return;
    }
    // A click within the ten seconds after a silent correction keeps the program running.
    quitAfterCorrection = 0;
    HMENU menu = LoadTrayMenu();
    if (menu == nullptr) {
        return;
    }
    POINT at = {};
    GetCursorPos(&at);
    // Unless the owner is in the foreground the menu stays open when the user clicks
    // elsewhere.
    HWND owner = MainWindow();
    SetForegroundWindow(owner);
    trayMenuOpen = 1;
    WaitForMenu(owner, GetSubMenu(menu, 0), at.x, at.y);
    // Without a message after the menu, the next click on the icon opens it only to close
    // it at once.
    PostMessageA(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    trayMenuOpen = 0;
}

} // namespace

void AddTrayIcon() {
    AllowShellMessage(TaskbarCreatedMessage());
    AllowShellMessage(WM_TRAY_NOTIFY);
    trayAdded = true;
    pictureId = 0;
    tipText[0] = 0;
    Notify(NIM_ADD, NIF_MESSAGE);
}

void RemoveTrayIcon() {
    if (!trayAdded) {
        return;
    }
    trayAdded = false;
    Notify(NIM_DELETE, 0);
}

void OnTrayNotify(LPARAM mouseMessage) {
    switch (mouseMessage) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        ShowTrayMenu();
        break;
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
        ShowOptions();
        break;
    default:
        break;
    }
}

UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageA("TaskbarCreated");
    return message;
}

void OnTaskbarCreated() {
    if (!trayAdded) {
        return;
    }
    Notify(NIM_ADD, NIF_MESSAGE | (pictureId != 0 ? NIF_ICON : 0) | NIF_TIP);
}

void UpdateTrayStatus(TrayMode mode) {
    HWND dialog = MainWindow();
    KillTimer(dialog, TIMER_BUSY);
    char text[STATUS_TEXT_SIZE] = {};
    // While a try is pending the tip says so, and when: it is what can be seen while hidden.
    char retryTip[TIP_SIZE] = {};
    switch (mode) {
    case TrayChecking:
    case TrayTesting:
        lastRunFailed = 0;
        SetTimer(dialog, TIMER_BUSY, BUSY_PERIOD_MS, nullptr);
        snprintf(text, sizeof text, "%s",
                 mode == TrayChecking ? "Checking time servers..." : "Testing time servers...");
        break;
    default:
        if (RetryTexts(text, STATUS_TEXT_SIZE, retryTip, TIP_SIZE)) {
            break;
        }
        if (lastRunOutcome == OutcomeRefused) {
            FormatRefusal(text);
        } else if (lastCorrectionTime != 0) {
            char amount[DURATION_TEXT_SIZE];
            char when[DATE_TIME_TEXT_SIZE];
            FormatDuration(lastCorrectionValue, amount);
            FormatDateTime(lastCorrectionTime, when);
            snprintf(text, sizeof text, "Corrected %s at %s", amount, when);
        }
        break;
    }
    snprintf(statusText, sizeof statusText, "%s", text);
    if (IsWindowVisible(dialog)) {
        SetDlgItemTextA(dialog, IDC_STATUS_TEXT, text);
    }
    // A refusal says why in the tip too; it fits.
    const bool refused = lastRunOutcome == OutcomeRefused && mode == TrayIdle;
    CopyTip(retryTip[0] != 0            ? retryTip
            : lastRunFailed && !refused ? "Unsuccessful correction!  Double-click for details..."
                                        : text);
    pictureId = lastRunFailed ? IDI_CLOCK_FAILED : IDI_CLOCK;
    Notify(NIM_MODIFY, NIF_ICON | NIF_TIP);
}

void ShowStatusLine() {
    SetDlgItemTextA(MainWindow(), IDC_STATUS_TEXT, statusText);
}

void AnimateTrayStep() {
    trayBlink = !trayBlink;
    SetPicture(trayBlink ? IDI_CLOCK : IDI_CLOCK_ALT);
}

HMENU LoadTrayMenu() {
    HMENU popup = nullptr;
    HMENU menu = LoadPopupMenu(IDR_TRAY_MENU, &popup);
    if (menu == nullptr) {
        return nullptr;
    }
    SetMenuDefaultItem(popup, 0, TRUE);
    // The item starts or stops a run exactly as the button does, so it says what the
    // button says.
    char caption[1 + CAPTION_SIZE] = "&";
    GetDlgItemTextA(MainWindow(), IDOK, caption + 1, CAPTION_SIZE);
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_TYPE;
    info.fType = MFT_STRING;
    info.dwTypeData = caption;
    SetMenuItemInfoA(popup, IDOK, FALSE, &info);
    return menu;
}

int TrayPictureId() {
    return pictureId;
}

const char* TrayTip() {
    return tipText;
}

const NOTIFYICONDATAA& LastTrayNotice() {
    return lastNotice;
}
