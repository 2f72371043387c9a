#include "tests/win32/support/engine_reset.h"

#include <cstdio>
#include <cstring>

#include "query/consensus.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/win32/support/pump.h"
#include "ui/main_window.h"

void ResetEngine() {
    ResetFakes();
    mainDialog = testWindow;
    memset(serverTable, 0, sizeof serverTable);
    memset(querySessions, 0, sizeof querySessions);
    freshDefaults = false;
    needDefaults = false;
    activeQueries = 0;
    testOnly = 0;
    runDeadline = 0;
    lastRunFailed = 0;
    correctOnLaunch = 0;
    userOffsetMs = 0;
    lastCorrectionValue = 0;
    lastCorrectionTime = 0;
    scheduleIndex = 0;
    scheduleIntervalMs = 0;
    lastRunTime = 0;
    quitAfterCorrection = 0;
    launchMode = 0;
}

void SetServer(int slot, const char* name) {
    snprintf(serverTable[slot].name, sizeof serverTable[slot].name, "%s", name);
    serverTable[slot].enabled = 1;
}
