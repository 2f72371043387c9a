// The Win32 suites' stand-in for the main dialog: a hidden window that receives the network
// notices and the busy timer, and a message pump that hands them to the engine the way the
// dialog procedure does.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <functional>

// The window; it is also installed as mainDialog. Made once, by the suites' environment.
extern HWND testWindow;

// One network notice as the platform posted it.
struct Notice {
    UINT message; // WM_LOOKUP_DONE or WM_SOCKET_EVENT
    WPARAM wParam;
    LPARAM lParam;
};

// While set, network notices go here instead of to the engine; timers still go to the engine.
void SetNoticeSink(std::function<void(const Notice&)> sink);

// Starts Windows Sockets 1.1 and makes the window; both last for the whole process.
void StartTestPlatform();

// Handles messages until done() holds or limitMs of real time have passed; true if it held.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);
void PumpFor(DWORD ms);

// What the pumps did since the last reset: messages handled, and real time spent blocked
// waiting for one (the rest of a pump's time went into handling them).
struct PumpStats {
    unsigned messages;
    double waitMs;
};
extern PumpStats pumpStats;
