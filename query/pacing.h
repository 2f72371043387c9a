// The pacing of a run's samples. Public servers refuse clients that connect to them more often
// than every four seconds, so two connections to one address (from one query or from two names
// of it) lie sampleSpacingMs apart, across runs too; a query whose next sample is not due yet
// waits without a socket. In the precise estimate each sample after a server's first is also
// aimed, so that the server reads its clock where the answer halves what is still open.
#pragma once
#include <cstdint>

// The least time between two connections to one address, read at the start of each run.
extern uint32_t sampleSpacingMs;

// The next sample of a query whose address is known: at once when it may start, else it waits
// for StartDueSamples.
void StartSample(int slot);
// Starts the waiting samples whose address may be connected to again and whose aim has come,
// the longest waiting first; on each busy tick and at the aim timer, which it sets again.
void StartDueSamples();
// Notes a connection to the address now, for the spacing of the next one.
void NoteConnection(uint32_t address);
// Ends the fine timers of the aim with the run.
void StopAiming();

// Puts this module's globals back to their start values (for tests).
void ResetPacingGlobals();
