// Shared between the files of the simulated platform.
#pragma once

// SimResetRegistry is public (platform/sim/sim.h); the network's reset is not.
void SimResetNet();
