// The messages that drive the engine, routed from one place: the main window's procedure
// hands them here, and so do the test pumps, so there is one routing only.
#pragma once
#include <cstdint>

// Network notices, the three timers of the main window and the engine's own posted messages.
// True when the message was one of them (and has been handled).
bool HandleEngineMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

// The busy timer's work, in its order: the tray's animation, the run's deadline, the list.
void OnBusyTimer();
