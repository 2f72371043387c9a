// The simulated registry.
#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

void SimResetRegistry() {}
