// Shared between the files of the simulated platform.
#pragma once

// SimResetRegistry is public (platform/sim/sim.h); the network's and the scheduler's resets
// are not.
void SimResetNet();
void SimResetLogonTasks();
