// The simulated network: scripted name lookups and time servers.
#include "platform/net.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

void SimResetNet() {}
