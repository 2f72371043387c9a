// The messages that drive the engine, routed from one place: the main window's procedure
// hands them here, and so do the test pumps, so there is one routing only.
//
// Window messages from WM_USER (1024) up are the program's own; the platform's notices for
// lookups and sockets are posted with these numbers because the engine asks for them by
// number. 1024 is the tray icon's callback, which belongs to the window.
#pragma once
#include <cstdint>

constexpr uint32_t WM_LOOKUP_DONE = 1025;  // wParam = lookup task, high word of lParam = error
constexpr uint32_t WM_SOCKET_EVENT = 1026; // wParam = socket, lParam = error << 16 | event
// Posted by the end of a successful run that found the default list fresh: the question about
// keeping the four fastest servers is asked once that end has unwound. No parameters.
constexpr uint32_t WM_OFFER_PRUNING = 1027;
// Posted by the engine after it stopped a socket's notices: wParam = the socket to close.
// Closing from behind the notices already queued keeps the handle from being reused while
// they wait.
constexpr uint32_t WM_CLOSE_SOCKET = 1028;
// Posted when the last query of a run ends: wParam = the run's number. The consensus, the
// clock, the display and the pruning offer run from it, after every loop over the slots that
// ended the queries has returned.
constexpr uint32_t WM_RUN_END = 1029;
// 1030 is WM_OUTSIDE_QUEUE (servers/waits.h).
// Posted by the end of a run that a person started and whose step was refused for want of
// agreement: wParam = the run's number. The question whether to set the clock anyway is asked
// once that end has unwound.
constexpr uint32_t WM_CONFIRM_STEP = 1031;

// Timer ids of the main window (the uIDEvent of SetTimer).
constexpr uint32_t TIMER_CLOCK = 0; // clock display and schedule check
constexpr uint32_t TIMER_QUIT = 1;  // the end after a silent correction
constexpr uint32_t TIMER_BUSY = 2;  // tray animation, run deadline, list refresh; only during a run
// The moment of the next waiting sample; only while a run of the precise estimate has one.
constexpr uint32_t TIMER_AIM = 3;
// The next try after a failed automatic run, or the run after a resume; once, while pending.
constexpr uint32_t TIMER_RETRY = 4;

constexpr uint32_t CLOCK_PERIOD_SHOWN_MS = 100;
constexpr uint32_t CLOCK_PERIOD_HIDDEN_MS = 10000;
// What Windows may move the hidden tick by, to fold it into other wake-ups.
constexpr uint32_t CLOCK_TOLERANCE_HIDDEN_MS = 1000;
constexpr uint32_t BUSY_PERIOD_MS = 200;

// Network notices, the three timers of the main window and the engine's own posted messages.
// True when the message was one of them (and has been handled).
bool HandleEngineMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

// The busy timer's work, in its order: the tray's animation, the run's deadline, the list.
void OnBusyTimer();
