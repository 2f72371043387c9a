// The main dialog: its initialisation, the dispatch of every message it receives, the window's
// place on the screen, the offset box, the correct-on-launch box, and when it hides or goes.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "query/correction.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/install.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "time/duration.h"
#include "time/fatal.h"
#include "ui/dialog.h"
#include "ui/resource.h"

WindowHandle mainDialog = nullptr;
HINSTANCE programInstance = nullptr;
HWND serverListView = nullptr;

static const char CORRECT_ON_LAUNCH_NOTE[] =
    "This will prevent the options window from appearing the next time you run Chronoplex, and "
    "instead, do a silent time correction & quit.  It is intended for people who want a command "
    "line utility.  You may combine this with scheduled corrections as well.\n\nOne you enable "
    "this, the only way to get back to the options window is to click on the Chronoplex icon in "
    "the system tray during the ten seconds it appears there.\n\nDo you still want to use this "
    "option?";

// "Copy", not "move": a file moved within one volume keeps its owner, the user who moved it.
static const char UNSAFE_PLACE_NOTE[] =
    "Chronoplex starts itself at logon with administrator rights only from a folder that only "
    "administrators can change, and the folder it was started from is not one.\n\nTo have it "
    "start at logon, copy chronoplex.exe into a new folder under Program Files (Windows asks "
    "for an administrator's consent), start it from there and choose the schedule again.  Until "
    "then the schedule goes on each time you start Chronoplex yourself.";

static const char LOGON_TASK_NOTE[] =
    "Windows' Task Scheduler did not accept Chronoplex's task for starting at logon, so "
    "Chronoplex can start itself at logon only while User Account Control is off.\n\nIf it is "
    "on, the schedule goes on each time you start Chronoplex yourself.";

static const char TASK_TAKEN_NOTE[] =
    "Windows' Task Scheduler holds another task named \"Chronoplex\", which Chronoplex may not "
    "replace, so Chronoplex does not start itself at logon.\n\nDelete that task in the Task "
    "Scheduler, then choose the schedule again.  Until then the schedule goes on each time you "
    "start Chronoplex yourself.";

constexpr int SCHEDULE_LAST_POSITION = 9;
// A stored window must keep this many pixels on the screen to be placed where it was.
constexpr LONG ON_SCREEN_MARGIN = 20;

HWND MainWindow() {
    return static_cast<HWND>(mainDialog);
}

HMENU LoadPopupMenu(int menuId, HMENU* popup) {
    HMENU menu = LoadMenuA(programInstance, MAKEINTRESOURCEA(menuId));
    *popup = menu != nullptr ? GetSubMenu(menu, 0) : nullptr;
    if (*popup == nullptr && menu != nullptr) {
        DestroyMenu(menu);
        menu = nullptr;
    }
    return menu;
}

// ---- the window's place ----

// Halves toward minus infinity, as an arithmetic shift would, for negative values too.
static LONG FloorHalf(LONG v) {
    return v >= 0 ? v / 2 : -((-v + 1) / 2);
}

// A stored placement keeps its position but never its size: the layout decides the size. One
// that would leave the window out of reach, or that is not a whole record, is not used; the
// window is centred instead.
static WINDOWPLACEMENT ChoosePlacement(HWND window, UINT showCommand) {
    WINDOWPLACEMENT current = {};
    current.length = sizeof current;
    GetWindowPlacement(window, &current);
    const LONG screenWidth = GetSystemMetrics(SM_CXFULLSCREEN);
    const LONG screenHeight = GetSystemMetrics(SM_CYFULLSCREEN);

    WINDOWPLACEMENT stored = {};
    const bool read = ReadSetting("WindowPlacement", &stored, sizeof stored);
    const RECT& r = stored.rcNormalPosition;
    WINDOWPLACEMENT chosen = current;
    if (read && stored.length == sizeof stored && r.left <= screenWidth - ON_SCREEN_MARGIN &&
        r.right >= ON_SCREEN_MARGIN && r.top <= screenHeight - ON_SCREEN_MARGIN &&
        r.bottom >= ON_SCREEN_MARGIN) {
        const RECT& own = current.rcNormalPosition;
        chosen = stored;
        chosen.rcNormalPosition.right = r.left + (own.right - own.left);
        chosen.rcNormalPosition.bottom = r.top + (own.bottom - own.top);
    } else {
        RECT& own = chosen.rcNormalPosition;
        OffsetRect(&own, FloorHalf(screenWidth + own.left - own.right),
                   FloorHalf(screenHeight + own.top - own.bottom));
    }
    chosen.showCmd = showCommand;
    return chosen;
}

// The window receives moves while it is being created, at the layout's origin, before it is
// initialised; saving those would overwrite the stored place before it is read.
static void OnMove(HWND window) {
    if (window != MainWindow()) {
        return;
    }
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window, &placement)) {
        WriteSetting("WindowPlacement", &placement, sizeof placement);
    }
}

// ---- initialisation ----

static void SetWindowIcons(HWND window) {
    HICON large = LoadIconA(programInstance, MAKEINTRESOURCEA(IDI_CLOCK_ALT));
    SetClassLongPtrA(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(large));
    // The small caption icon comes from the icon's own small image rather than a shrunken
    // copy of the large one, so it stays sharp at any display scale.
    HANDLE small =
        LoadImageA(programInstance, MAKEINTRESOURCEA(IDI_CLOCK_ALT), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

static void ShowOffset(HWND window) {
    char text[DURATION_TEXT_SIZE];
    FormatDuration(userOffsetMs, text);
    SetDlgItemTextA(window, IDC_OFFSET_EDIT, text);
}

void InitMainWindow() {
    HWND window = MainWindow();
    ReadSetting("LastCorrectionTime", &lastCorrectionTime, sizeof lastCorrectionTime);
    ReadSetting("LastCorrectionValue", &lastCorrectionValue, sizeof lastCorrectionValue);
    lastRunTime = lastCorrectionTime;

    AddTrayIcon();
    UpdateTrayStatus(TrayIdle);
    SetWindowIcons(window);
    InitServerList();

    memset(querySessions, 0, sizeof querySessions);
    LoadServerList();
    SortRows();

    SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, TBM_SETRANGE, TRUE,
                        MAKELPARAM(0, SCHEDULE_LAST_POSITION));
    ReadSetting("Schedule", &scheduleIndex, sizeof scheduleIndex);
    SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, TBM_SETPOS, TRUE, scheduleIndex);
    InitSchedule();

    CheckDlgButton(window, IDC_CORRECT_ON_LAUNCH, correctOnLaunch ? BST_CHECKED : BST_UNCHECKED);
    ReadSetting("Offset", &userOffsetMs, sizeof userOffsetMs);
    ShowOffset(window);

    if (!RunGoingOn()) {
        LaunchTrigger();
    }
}

// Hidden, the clock's tick only asks whether a run is due, and a second either way does not
// matter: where Windows can, it may fold the tick into other wake-ups. Looked up rather than
// linked, since the call is new in Windows 8.
static void SetClockTimer(HWND window, bool shown) {
    using Coalescable = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC, ULONG);
    static const auto coalescable = [] {
        HMODULE user = GetModuleHandleA("user32.dll");
        return user == nullptr ? nullptr
                               : reinterpret_cast<Coalescable>(reinterpret_cast<void*>(
                                     GetProcAddress(user, "SetCoalescableTimer")));
    }();
    if (!shown && coalescable != nullptr &&
        coalescable(window, TIMER_CLOCK, CLOCK_PERIOD_HIDDEN_MS, nullptr,
                    CLOCK_TOLERANCE_HIDDEN_MS) != 0) {
        return;
    }
    SetTimer(window, TIMER_CLOCK, shown ? CLOCK_PERIOD_SHOWN_MS : CLOCK_PERIOD_HIDDEN_MS, nullptr);
}

static INT_PTR OnInitDialog(HWND window) {
    mainDialog = window;
    serverListView = GetDlgItem(window, IDC_SERVER_LIST);
    SetWindowTextA(window, PROGRAM_TITLE);
    InitMainWindow();
    const UINT show = launchMode != 0 || correctOnLaunch ? SW_HIDE : SW_SHOW;
    const WINDOWPLACEMENT placement = ChoosePlacement(window, show);
    SetClockTimer(window, false);
    SetWindowPlacement(window, &placement);
    return TRUE;
}

// ---- what the engine shows ----

// The button says what pressing it would do: stop the run going on, or start one.
void ShowRunButton(TrayMode mode) {
    const char* caption = mode == TrayTesting    ? "Stop Testing..."
                          : mode == TrayChecking ? "Stop Correcting..."
                                                 : "Correct NOW!";
    SetDlgItemTextA(MainWindow(), IDOK, caption);
}

void ShowScheduleLabel(const char* label) {
    SetDlgItemTextA(MainWindow(), IDC_SCHEDULE_LABEL, label);
}

// Setting an unchanged text would still repaint the control ten times a second.
bool WindowShown() {
    return IsWindowVisible(MainWindow()) != FALSE;
}

void ShowClockText(const char* text) {
    char shown[100];
    GetDlgItemTextA(MainWindow(), IDC_CLOCK_TEXT, shown, sizeof shown);
    if (strcmp(shown, text) != 0) {
        SetDlgItemTextA(MainWindow(), IDC_CLOCK_TEXT, text);
    }
}

// ---- hiding and ending ----

// With a schedule the program stays in the notification area to serve it; without one,
// closing the window is the end.
static void OnClose(HWND window) {
    ShowWindow(window, SW_HIDE);
    if (scheduleIntervalMs == 0) {
        DestroyWindow(window);
    }
}

static void OnDestroy() {
    TearDown();
    mainDialog = nullptr;
    serverListView = nullptr;
    PostQuitMessage(0);
}

// The clock display is only worth ten updates a second while someone can see it; the status
// line, not set while hidden, is brought up to date as the window appears.
static void OnShowWindow(HWND window, bool shown) {
    KillTimer(window, TIMER_CLOCK);
    SetClockTimer(window, shown);
    if (shown) {
        ShowStatusLine();
    }
}

// ---- the controls ----

// Where the program's place is unsafe nothing starts it at logon, and the Run value that
// stands in for a refused logon task starts nothing where UAC is on: either way the schedule
// would stop at every logon without a word. Said once per run of the program, when someone is
// there to read it: after choosing a schedule.
static void OnScheduleScroll(HWND window) {
    static bool logonNoticePosted = false;
    OnScheduleSlider(
        static_cast<int32_t>(SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, TBM_GETPOS, 0, 0)));
    if ((programPlaceUnsafe || logonTaskRefused || logonTaskTaken) && scheduleIndex != 0 &&
        !logonNoticePosted) {
        logonNoticePosted = true;
        PostMessageA(window, WM_LOGON_NOTICE,
                     programPlaceUnsafe ? LOGON_NOTICE_UNSAFE_PLACE
                     : logonTaskTaken   ? LOGON_NOTICE_TASK_TAKEN
                                        : 0,
                     0);
    }
}

// From an unsafe place the note becomes the offer to install (servers/install.h); the note
// stays for when there is nothing to offer.
static void OnLogonNotice(HWND window, WPARAM kind) {
    if (kind == LOGON_NOTICE_UNSAFE_PLACE && OfferInstall(window)) {
        return;
    }
    WaitForBox(window,
               kind == LOGON_NOTICE_UNSAFE_PLACE ? UNSAFE_PLACE_NOTE
               : kind == LOGON_NOTICE_TASK_TAKEN ? TASK_TAKEN_NOTE
                                                 : LOGON_TASK_NOTE,
               "Note!", MB_OK | MB_ICONINFORMATION);
}

// Whatever was typed is stored as the value it means and shown back in the normal form.
static void OnOffsetLostFocus(HWND window) {
    char text[100];
    GetDlgItemTextA(window, IDC_OFFSET_EDIT, text, sizeof text);
    userOffsetMs = ParseDuration(text);
    WriteSetting("Offset", &userOffsetMs, sizeof userOffsetMs);
    ShowOffset(window);
}

// Only a Yes turns the option on: a box that was closed under the question (the window
// ending meanwhile) answers nothing, and that is no consent.
static void OnCorrectOnLaunchBox(HWND window) {
    correctOnLaunch = IsDlgButtonChecked(window, IDC_CORRECT_ON_LAUNCH) == BST_CHECKED;
    if (correctOnLaunch && WaitForBox(window, CORRECT_ON_LAUNCH_NOTE, "Note!",
                                      MB_YESNO | MB_ICONINFORMATION) != IDYES) {
        CheckDlgButton(window, IDC_CORRECT_ON_LAUNCH, BST_UNCHECKED);
        correctOnLaunch = 0;
        return;
    }
    WriteSetting("CorrectOnLaunch", &correctOnLaunch, sizeof correctOnLaunch);
}

void ShowOptions() {
    lastRunFailed = 0;
    if (!RunGoingOn()) {
        UpdateTrayStatus(TrayIdle);
    }
    ShowWindow(MainWindow(), SW_SHOWNORMAL);
}

// The exit command also comes from a copy that is uninstalling, and that copy waits for this
// one to end before it removes the settings; so it is obeyed while a name is being typed too,
// and that name is dropped rather than stored into a key that is about to go.
void ExitProgram() {
    HWND window = MainWindow();
    if (window == nullptr) {
        return;
    }
    CancelNameEdit();
    DestroyWindow(window);
}

static void OnCommand(HWND window, int command, int notification) {
    // The name editor turns Enter and Esc into IDOK and IDCANCEL; they belong to the edit.
    if (IsNameEditorOpen()) {
        return;
    }
    switch (command) {
    case IDOK:
        PressRunButton();
        return;
    case IDCANCEL:
        OnClose(window);
        return;
    case ID_RUN_IF_IDLE:
        RunIfIdle();
        return;
    case IDC_OFFSET_EDIT:
        if (notification == EN_KILLFOCUS) {
            OnOffsetLostFocus(window);
        }
        return;
    case IDC_CORRECT_ON_LAUNCH:
        OnCorrectOnLaunchBox(window);
        return;
    case ID_OPTIONS:
        ShowOptions();
        return;
    case ID_ADD_SERVER:
    case ID_DELETE_SERVERS:
    case ID_TOGGLE_SERVERS:
    case ID_RESET_SERVERS:
    case ID_RENAME_SERVER:
    case ID_TEST_SERVERS:
    case ID_KEEP_BEST_FOUR:
        OnListCommand(command);
        return;
    default:
        return;
    }
}

// What comes from outside our own work, as queued by OnOutsideMessage or at once: the commands,
// the tray icon's clicks, the close box, and the timers and offers the engine held back.
void HandleOutsideMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    HWND window = MainWindow();
    if (window == nullptr) {
        return;
    }
    switch (message) {
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam), HIWORD(wParam));
        break;
    case WM_TRAY_NOTIFY:
        OnTrayNotify(lParam);
        break;
    case WM_CLOSE:
        OnClose(window);
        break;
    case WM_LOGON_NOTICE:
        OnLogonNotice(window, wParam);
        break;
    case WM_CHECK_AUTO_START:
        OnCheckAutoStart();
        break;
    default:
        HandleEngineMessage(message, wParam, lParam);
        break;
    }
}

static INT_PTR OnNotify(const NMHDR* header) {
    return header->idFrom == IDC_SERVER_LIST ? OnListNotify(header) : FALSE;
}

static bool IsExit(UINT message, WPARAM wParam) {
    return message == WM_COMMAND && LOWORD(wParam) == ID_EXIT;
}

// Commands, the tray icon's clicks, the close box, the note posted after a drag of the slider
// and the check of the automatic start posted at start-up may arrive inside one of our waits;
// they go through the queue of servers/waits.h, which hands them back here
// (HandleOutsideMessage) once nothing of ours waits. So does the exit, which also closes our
// boxes and menus; the end of the session stops the run at once, since Windows may end the
// process when its handler returns.
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Once a fatal error is being shown, the program only waits for its end: nothing may start
    // or change under the box. The exit still closes the box, so that an uninstall that waits
    // for this copy sees it end.
    if (fatalShown && message != WM_DESTROY && !IsExit(message, wParam)) {
        return FALSE;
    }
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(window);
    case WM_DESTROY:
        OnDestroy();
        return TRUE;
    case WM_MOVE:
        OnMove(window);
        return TRUE;
    case WM_ENDSESSION:
        if (wParam != FALSE) {
            OnSessionEnding();
        }
        return TRUE;
    case WM_SYSCOLORCHANGE:
        SetListBackground();
        return FALSE;
    case WM_SHOWWINDOW:
        OnShowWindow(window, wParam != FALSE);
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        if (IsExit(message, wParam)) {
            RequestExit();
        } else {
            OnOutsideMessage(message, wParam, lParam);
        }
        return TRUE;
    case WM_CLOSE:
    case WM_LOGON_NOTICE:
    case WM_CHECK_AUTO_START:
        OnOutsideMessage(message, wParam, lParam);
        return TRUE;
    case WM_TRAY_NOTIFY:
        OnOutsideMessage(message, wParam, lParam);
        return FALSE;
    case WM_HSCROLL:
        OnScheduleScroll(window);
        return TRUE;
    case WM_POWERBROADCAST:
        OnPowerBroadcast(wParam);
        SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_TIMER:
    case WM_LOOKUP_DONE:
    case WM_SOCKET_EVENT:
    case WM_OFFER_PRUNING:
    case WM_CLOSE_SOCKET:
    case WM_RUN_END:
    case WM_OUTSIDE_QUEUE:
        HandleEngineMessage(message, wParam, lParam);
        return TRUE;
    default:
        if (message != 0 && message == TaskbarCreatedMessage()) {
            OnTaskbarCreated();
        }
        return FALSE;
    }
}
