// Shared between the files of the simulated platform.
#pragma once

// SimResetRegistry is public (platform/sim/sim.h); the network's and the scheduler's resets
// are not.
void SimResetNet();
void SimResetLogonTasks();
void SimResetInstall();

// Runs the hook of a call that waits, and counts the call.
void SimRunWaitHook(int wait);
// Reports a call that names a destroyed window.
void SimCheckWindow(const void* window, const char* call);
