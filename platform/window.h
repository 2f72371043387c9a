// The few window services the logic needs: timers, message boxes, posted messages, and the
// announcement that the clock has changed.
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

void PlatformSetTimer(WindowHandle window, uint32_t id, uint32_t periodMs);
void PlatformKillTimer(WindowHandle window, uint32_t id);

// Timers fire on the system's tick, about 15.6 ms, unless a program asks for 1 ms. Asking
// costs the whole machine power, so it is asked only while it is needed: true asks, false
// gives it back; each call only changes the state.
void PlatformFineTimers(bool fine);

// A modal message box; it runs its own message loop, so other messages of the window keep
// being handled while it is open. Returns the answer.
int PlatformMessageBox(WindowHandle owner, const char* text, const char* caption, uint32_t type);

// Tells every top-level window that the clock was set. Bounded: a window that does not
// answer is skipped instead of holding this program up.
void PlatformBroadcastTimeChange();

void PlatformDestroyWindow(WindowHandle window);

// Queues a message for the window behind those already waiting; it is handled after the
// current one has been handled to its end. False when it could not be queued (no such
// window, or its queue is full).
bool PlatformPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
