// What the main dialog's procedure hands its messages to: the window code's own interface.
// Each handler lives with the part of the window that owns it. The portable logic never sees
// this header: it declares what it asks of the window in query/display.h and
// servers/list_display.h, and the window code implements those.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>

#include "query/display.h"
#include "servers/list_display.h"
#include "servers/waits.h"

#define PROGRAM_TITLE "Chronoplex v2.1"

// The tray icon's callback message: lParam = the mouse message over the icon. The first of
// the program's own messages; the engine's follow it.
constexpr uint32_t WM_TRAY_NOTIFY = 1024;
// Posted when a schedule was chosen and the Task Scheduler refused the logon task (wParam 0),
// the program's place is one where it may not start itself elevated
// (LOGON_NOTICE_UNSAFE_PLACE), or another task holds the logon task's name
// (LOGON_NOTICE_TASK_TAKEN): the note about it is shown once the slider's message has unwound,
// not in the middle of a drag.
constexpr uint32_t WM_LOGON_NOTICE = 1040;
constexpr WPARAM LOGON_NOTICE_UNSAFE_PLACE = 1;
constexpr WPARAM LOGON_NOTICE_TASK_TAKEN = 2;

// ---- main window (ui/main_window.cpp) ----
extern HINSTANCE programInstance; // the program's own module: dialog, menus, icons
extern HWND serverListView;       // IDC_SERVER_LIST, taken when the dialog is initialised

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The body of the dialog's initialisation: settings, tray icon, list, schedule, launch run.
void InitMainWindow();
// mainDialog as the platform's window handle; null while there is no dialog.
HWND MainWindow();
// The command ID_OPTIONS: the failure mark cleared, the window shown.
void ShowOptions();
// Loads a menu resource whose first sub-menu is the pop-up that is shown; the caller
// destroys the menu. Null (and nothing loaded) when either is missing.
HMENU LoadPopupMenu(int menuId, HMENU* popup);

// ---- server list (ui/list_view.cpp) ----
// The list's image list, background and three columns, sized by its client width now.
void InitServerList();
// The list background follows the system's window colour.
void SetListBackground();
// Notifications of IDC_SERVER_LIST; TRUE when handled.
INT_PTR OnListNotify(const NMHDR* header);
// The list commands ID_ADD_SERVER ... ID_KEEP_BEST_FOUR.
void OnListCommand(int command);
// True while the in-place name editor is open; every command but the exit is dropped meanwhile.
bool IsNameEditorOpen();
// Ends an open name editor as cancelled: the text in it is not stored.
void CancelNameEdit();

// ---- what the window asks of the program shell (app/shutdown.cpp) ----
// Removes the tray icon, stops the timers and interrupts a run in progress (whose finished
// servers still correct the clock, as at the end of any run). The dialog's destruction calls
// it, and so does a fatal error while the dialog exists.
void TearDown();

// ---- tray icon (ui/tray.cpp) ----
// NIM_ADD with the callback message only; UpdateTrayStatus gives it its picture and tip.
void AddTrayIcon();
void RemoveTrayIcon();
// lParam of WM_TRAY_NOTIFY: the mouse message that happened over the icon.
void OnTrayNotify(LPARAM mouseMessage);
// The shell's "TaskbarCreated" message number (registered once); 0 before the first call.
UINT TaskbarCreatedMessage();
// The shell was restarted: add the icon again with its current picture and tip.
void OnTaskbarCreated();
// Puts the last status text into the status line, which is not set while the window is hidden.
void ShowStatusLine();
