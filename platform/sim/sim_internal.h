// Shared between the files of the simulated platform.
#pragma once

void SimResetRegistry();
void SimResetNet();
