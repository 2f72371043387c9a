#include "app/entry.h"

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "app/fatal.h"
#include "platform/registry.h"
#include "query/schedule.h"
#include "servers/install.h"
#include "servers/running_copy.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "time/timebase.h"
#include "ui/dialog.h"
#include "ui/resource.h"

static const char OTHER_VERSION_TEXT[] =
    "Registry settings of other versions of Chronoplex will be erased if you run this version.";
static const char UNINSTALLED_TEXT[] = "Uninstall complete.  Now delete Chronoplex files.";
static const char NO_PRIVILEGE_TEXT[] =
    "You do not have privileges to set the system time.\n\nLog on as an Administrator instead.";
// What an uninstall says when the automatic start could not be removed: an elevated task left
// behind would start whatever file later takes the program's place.
static const char TASK_LEFT_TEXT[] =
    "Uninstall incomplete.  Windows' Task Scheduler did not let Chronoplex remove its task "
    "\"Chronoplex\", which starts it at logon.  Delete that task in the Task Scheduler, then "
    "delete Chronoplex files.";
static const char RUN_VALUE_LEFT_TEXT[] =
    "Uninstall incomplete.  Chronoplex could not remove the value \"Chronoplex\" under "
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run, which starts "
    "it at logon.  Delete that value, then delete Chronoplex files.";
static const char BOTH_LEFT_TEXT[] =
    "Uninstall incomplete.  Chronoplex could not remove its task \"Chronoplex\" in Windows' "
    "Task Scheduler, nor the value \"Chronoplex\" under "
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run, which start "
    "it at logon.  Delete both, then delete Chronoplex files.";
static const char STILL_RUNNING_TEXT[] = "Chronoplex is still running and could not be stopped.  "
                                         "Close it and run the uninstall again.";

// How long the uninstall waits for a running copy to end after telling it to.
constexpr DWORD RUNNING_COPY_END_MS = 10000;

static bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

const char* ArgumentText(const char* commandLine) {
    const char* p = commandLine;
    if (*p == '"') {
        p++;
        while (*p != 0 && *p != '"') {
            p++;
        }
        if (*p == '"') {
            p++;
        }
    } else {
        while (*p != 0 && !IsBlankOrControl(*p)) {
            p++;
        }
    }
    while (*p != 0 && IsBlankOrControl(*p)) {
        p++;
    }
    return p;
}

char LaunchLetter(const char* commandLine) {
    const char first = ArgumentText(commandLine)[0];
    return first == 's' || first == 'u' ? first : 0;
}

// The title alone is not enough: while a copy shows a question or an error box, that box
// carries the same caption, and a command meant for the dialog would answer the question.
HWND FindRunningCopy() {
    return static_cast<HWND>(FindRunningCopy(PROGRAM_TITLE, IDC_SERVER_LIST));
}

// A stored version of any size other than four bytes is not this version's either; one too
// big to be read is still there, and only a missing one means a first start.
static void CheckSettingsVersion(bool* cancelled) {
    uint8_t stored[4] = {};
    uint32_t size = 0;
    if (!ReadSetting("Version", stored, sizeof stored, &size) && size == 0) {
        return;
    }
    const uint32_t version = static_cast<uint32_t>(stored[0]) | stored[1] << 8 | stored[2] << 16 |
                             static_cast<uint32_t>(stored[3]) << 24;
    if (size == sizeof version && version == SETTINGS_VERSION) {
        needDefaults = false;
        return;
    }
    if (WaitForBox(nullptr, OTHER_VERSION_TEXT, PROGRAM_TITLE, MB_OKCANCEL | MB_ICONERROR) !=
        IDOK) {
        *cancelled = true;
        return;
    }
    if (PlatformRegDeleteKey(SETTINGS_KEY) != PLATFORM_ERROR_SUCCESS) {
        FatalError("Cannot erase old Registry key");
    }
}

// Until the running copy's process is gone it may still save something, and its next save
// would bring back the settings key that the uninstall removes. True when it ended in time.
static bool EndRunningCopy(HWND running) {
    DWORD processId = 0;
    GetWindowThreadProcessId(running, &processId);
    // Opened before the command, so that the handle names this copy even after it has ended.
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    const DWORD start = GetTickCount();
    // A copy that answers nothing at all must not hold the uninstall for ever either.
    WaitForCopy(running, ID_EXIT, RUNNING_COPY_END_MS);
    if (process == nullptr) {
        // Without its process to watch, the window that the command destroys has to do.
        return IsWindow(running) == FALSE;
    }
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent < RUNNING_COPY_END_MS ? RUNNING_COPY_END_MS - spent : 0;
    const bool ended = WaitForSingleObject(process, left) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Returns true when this start ends here: the running copy was told what to do, or it would
// not end for the uninstall, which then removes nothing. The uninstall comes first: whoever
// starts it wants the program gone, and "Corregir al Ejecutar" is a wish about starts, not
// about that.
static bool HandOver(HWND running) {
    if (launchMode == 'u') {
        if (!EndRunningCopy(running)) {
            FatalError(STILL_RUNNING_TEXT);
            return true;
        }
        return false;
    }
    if (correctOnLaunch) {
        WaitForCopy(running, ID_RUN_IF_IDLE, RUNNING_COPY_END_MS);
        return true;
    }
    ShowWindow(running, SW_SHOW);
    SetForegroundWindow(running);
    return true;
}

// The entries go as servers/settings.h says, the installed copy's files as servers/install.h
// does.
static void Uninstall() {
    const uint32_t left = RemoveEntriesOfThisFile();
    PlatformRegDeleteKey(SETTINGS_KEY);
    char installedText[512];
    const bool installed = FinishUninstall(installedText, sizeof installedText);
    const bool taskLeft = (left & AUTO_START_LEFT_TASK) != 0;
    const bool runValueLeft = (left & AUTO_START_LEFT_RUN_VALUE) != 0;
    FatalError(taskLeft && runValueLeft ? BOTH_LEFT_TEXT
               : taskLeft               ? TASK_LEFT_TEXT
               : runValueLeft           ? RUN_VALUE_LEFT_TEXT
               : installed              ? installedText
                                        : UNINSTALLED_TEXT);
}

static int MessageLoop() {
    MSG msg = {};
    // GetMessage gives -1 on an invalid call; that is an end too, not a message.
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        HWND dialog = MainWindow();
        if (dialog != nullptr && IsDialogMessageA(dialog, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

int RunProgram(HINSTANCE instance, const char* commandLine) {
    bool cancelled = false;
    CheckSettingsVersion(&cancelled);
    if (cancelled) {
        return 0;
    }
    ReadSetting("CorrectOnLaunch", &correctOnLaunch, sizeof correctOnLaunch);
    launchMode = LaunchLetter(commandLine);

    HWND running = FindRunningCopy();
    if (running != nullptr && HandOver(running)) {
        return 0;
    }
    if (launchMode == 'u') {
        Uninstall();
        return 0;
    }
    if (AdjustSystemClock(0) == 0) {
        if (launchMode != 's') {
            FatalError(NO_PRIVILEGE_TEXT);
        }
        return 0;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        FatalError("Could not open windows sockets.");
        return 0;
    }
    winsockStarted = 1;
    // Held from here on, so that an install copies the file that runs.
    PlatformHoldOwnFile();
    programInstance = instance;
    InitCommonControls();
    WriteSetting("Version", &SETTINGS_VERSION, sizeof SETTINGS_VERSION);
    if (CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0) ==
        nullptr) {
        FatalError("Cannot open window");
        return 0;
    }
    MessageLoop();
    if (winsockStarted) {
        WSACleanup();
    }
    return 0;
}
