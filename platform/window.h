// The few window services the logic needs: timers, posted messages, and the calls that wait
// on someone else (message boxes, menus, the shell, other programs).
//
// Timer periods are in milliseconds; setting a timer that is already running replaces its
// period. Message box types and answers use the platform's numbers, given below.
#pragma once
#include <cstdint>

using WindowHandle = void*;

// Message box types (combinable) and answers.
constexpr uint32_t BOX_OK = 0x0;
constexpr uint32_t BOX_OKCANCEL = 0x1;
constexpr uint32_t BOX_YESNO = 0x4;
constexpr uint32_t BOX_ICONERROR = 0x10;
constexpr uint32_t BOX_ICONWARNING = 0x30;
constexpr uint32_t BOX_ICONINFORMATION = 0x40;
constexpr uint32_t BOX_SYSTEMMODAL = 0x1000;
constexpr int ANSWER_OK = 1;
constexpr int ANSWER_CANCEL = 2;
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;

// The platform's timer message number, for whoever dispatches it.
constexpr uint32_t PLATFORM_WM_TIMER = 0x0113;
// Power events (the wParam of WM_POWERBROADCAST) that the program acts on.
constexpr uint32_t PLATFORM_WM_POWERBROADCAST = 0x0218;
constexpr uintptr_t POWER_SUSPEND = 4;
constexpr uintptr_t POWER_RESUME_CRITICAL = 6;
constexpr uintptr_t POWER_RESUME_SUSPEND = 7;
constexpr uintptr_t POWER_RESUME_AUTOMATIC = 18;

void PlatformSetTimer(WindowHandle window, uint32_t id, uint32_t periodMs);
void PlatformKillTimer(WindowHandle window, uint32_t id);

// Timers fire on the system's tick, about 15.6 ms, unless a program asks for 1 ms. Asking
// costs the whole machine power, so it is asked only while it is needed: true asks, false
// gives it back; each call only changes the state.
void PlatformFineTimers(bool fine);

void PlatformDestroyWindow(WindowHandle window);

// Tells other programs that the clock was set, without waiting for any of them: Windows since
// Vista tells them itself when the time is set, and asks programs not to; before that, a
// posted broadcast, which no slow or hung window can hold up.
void PlatformAnnounceTimeChange();

// Queues a message for the window behind those already waiting; it is handled after the
// current one has been handled to its end. False when it could not be queued (no such
// window, or its queue is full).
bool PlatformPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// ---- other programs' windows ----

// The next top-level dialog after `after` (null: from the first) that is titled title and holds
// a child control of id control; null when there is none more.
WindowHandle PlatformNextDialog(WindowHandle after, const char* title, int32_t control);

// True when the process that owns the window runs elevated: at high integrity or above. False
// below it, and when that process cannot be opened to ask. On a system without integrity
// levels (before Vista) nothing tells the two apart, and every window counts as elevated.
bool PlatformWindowElevated(WindowHandle window);

// ---- calls that wait ----
// Each of these waits for a person or another program, and while it waits the platform hands
// this thread's window the messages that arrive meanwhile: posted ones in the loops of boxes
// and menus, messages sent by other programs in all of them. Only servers/waits.cpp calls them;
// the rest of the program goes through its named waits.

// A modal message box. Returns the answer; ANSWER_CANCEL when it was closed by
// PlatformCloseBoxesAndMenus.
int PlatformMessageBox(WindowHandle owner, const char* text, const char* caption, uint32_t type);

// Tracks a pop-up menu (the platform's menu handle) at a point of the screen until it is
// chosen from or dismissed, or lifeMs after it opened; the choice arrives later as a command
// posted to the owner.
void PlatformTrackMenu(WindowHandle owner, void* menu, int32_t x, int32_t y, uint32_t lifeMs);

// One call to the shell's notification area: action is the platform's (add, modify, delete),
// record the platform's own record for the icon. False when the shell refused it.
bool PlatformNotifyTray(uint32_t action, const void* record);

// Sends a command (as the menu's WM_COMMAND would carry it) to another copy's window and waits
// at most timeoutMs for it to be handled. False when it was not handled in time.
bool PlatformSendCommand(WindowHandle window, uint32_t command, uint32_t timeoutMs);

// Closes this thread's open menu and every message box it shows (each answering
// ANSWER_CANCEL), so that whatever waits in them returns. keep is a dialog that stays.
void PlatformCloseBoxesAndMenus(WindowHandle keep);
