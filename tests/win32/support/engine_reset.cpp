#include "tests/win32/support/engine_reset.h"

#include <cstdio>

#include "query/display.h"
#include "servers/server_table.h"
#include "tests/fakes/fakes.h"
#include "tests/win32/support/pump.h"
#include "tests/win32/support/time_servers.h"

void ResetEngine() {
    ResetFakes();
    ResetLogicGlobals();
    mainDialog = testWindow;
    needDefaults = false;
    StoreBackToBackSampling();
}

void SetServer(int slot, const char* name) {
    snprintf(serverTable[slot].name, sizeof serverTable[slot].name, "%s", name);
    serverTable[slot].enabled = 1;
}
