// Drives the logic on the simulated platform the way the main window's message loop would:
// pops the simulated messages in due order and hands each to the handler that owns it.
#pragma once
#include <cstdint>

// Sets the platform, the fakes and every global of the logic back to their start values.
void ResetWorld();

// Dispatches one message as the main window does.
void DispatchMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

// Handles every message due within the next ms of virtual time; time ends at now + ms.
void RunFor(uint64_t ms);

// Handles messages until pred() holds or maxMs of virtual time have passed; true if it held.
bool RunUntil(bool (*pred)(), uint64_t maxMs);

// No run is in progress and no message waits: the end of the run, and what it posted (sockets
// to close, the offer to prune), have been handled too.
bool Settled();

// The status stored in the slot's registry value, or -1 when the slot has no stored value.
int32_t StoredStatus(int slot);
