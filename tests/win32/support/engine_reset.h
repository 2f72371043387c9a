// Puts the engine's globals back to their start values between runs in one process.
#pragma once

// Clears the server table, the query sessions, the run counters, the settings mirrors and the
// fakes' log, and makes the test window the main dialog again.
void ResetEngine();
// Names slot i and enables it.
void SetServer(int slot, const char* name);
