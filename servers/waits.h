// The calls that wait, and what comes in while they do.
//
// A message box, a pop-up menu, a call to the shell's notification area, a command sent to
// another copy and every call into the Task Scheduler wait for a person or another program, and
// while they wait the platform hands our window whatever arrives: a second copy's request for a
// run, the uninstaller's exit, clicks on the tray icon, the end of the session, and inside boxes
// and menus the user's commands and our own timers. Handled where it arrives, any of these would
// run in the middle of whoever called the wait: a run begun inside the end of another, a window
// destroyed under a box that is still open. So every such call in the program goes through a named
// wait here, which knows how deep we are; what comes in from outside meanwhile is queued, in order,
// and handed back to the window one message at a time from its own message loop, once the outermost
// wait has returned.
//
// Here rather than in the engine because the settings store is the lowest caller of a wait
// (the Task Scheduler); the window code and the engine use the same waits.
#pragma once
#include <cstdint>

#include "platform/logon_task.h"
#include "platform/window.h"

// The window that the engine's notices, posted messages and timers go to, and that the queue
// of outside messages is posted to; null while there is none.
extern WindowHandle mainDialog;

// Posted to mainDialog once the outermost wait has returned while outside messages are
// queued. No parameters.
constexpr uint32_t WM_OUTSIDE_QUEUE = 1030;

// ---- the named waits ----
int WaitForBox(WindowHandle owner, const char* text, const char* caption, uint32_t type);
// A menu closes by itself MENU_LIFE_MS after it opened: the tray's callback passes UIPI, so a
// program of any user could keep the menu open, and what comes in meanwhile queued, for ever.
constexpr uint32_t MENU_LIFE_MS = 60000;
void WaitForMenu(WindowHandle owner, void* menu, int32_t x, int32_t y);
bool WaitForTray(uint32_t action, const void* record);
bool WaitForCopy(WindowHandle copy, uint32_t command, uint32_t timeoutMs);
long WaitForTaskRegister(const char* name, const char* xml);
long WaitForTaskDelete(const char* name);
LogonTaskPresence WaitForTaskRead(const char* name, LogonTaskFacts* facts);

// True while one of the waits above is under way, on any level.
bool InsideWait();

// ---- what comes in from outside ----
// A message that would start or stop something (a command, a click on the tray icon, a timer
// that starts a run): handled at once through HandleOutsideMessage when no wait is under way
// and nothing is queued before it, else queued behind the rest. A message equal to one already
// queued is not queued twice.
void OnOutsideMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
// The end of the program: at once through ExitProgram when no wait is under way and nothing is
// queued, else queued; a box or menu open now is closed, and none opens until the exit has
// been handled, so that the outermost wait returns at once. The uninstaller waits only ten
// seconds for the running copy to end, and no person may hold it up.
void RequestExit();
bool ExitQueued();
// WM_OUTSIDE_QUEUE: hands the oldest queued message to the window, unless a wait is under way
// again (its end posts the queue anew).
void RunOutsideQueue();
// On each busy and clock tick: when the last post of WM_OUTSIDE_QUEUE failed (a full message
// queue), the queue is handed on from here, so that nothing queued (an exit) is left behind.
void HandOnOutsideQueue();

// Supplied by the window: handle one message from outside as it would have been handled at
// once, and end the program.
void HandleOutsideMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
void ExitProgram();

// Puts this module's globals back to their start values (for tests).
void ResetWaitGlobals();
