#include "tests/native/harness.h"

#include "platform/sim/sim.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"

void ResetWorld() {
    SimReset();
    ResetFakes();
    ResetLogicGlobals();
}

void DispatchMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    HandleEngineMessage(message, wParam, lParam);
}

void RunFor(uint64_t ms) {
    const uint64_t end = SimElapsedMs() + ms;
    SimMessage m;
    while (SimNextMessage(end - SimElapsedMs(), &m)) {
        DispatchMessage(m.message, m.wParam, m.lParam);
    }
}

bool RunUntil(bool (*pred)(), uint64_t maxMs) {
    const uint64_t end = SimElapsedMs() + maxMs;
    SimMessage m;
    while (!pred()) {
        if (!SimNextMessage(end - SimElapsedMs(), &m)) {
            return pred();
        }
        DispatchMessage(m.message, m.wParam, m.lParam);
    }
    return true;
}

bool Settled() {
    return !RunGoingOn() && SimQueuedMessageCount() == 0;
}

int32_t StoredStatus(int slot) {
    char name[16];
    ServerValueName(slot, name);
    ServerRecord stored;
    uint32_t size = 0;
    if (!ReadSetting(name, &stored, sizeof stored, &size) || size != SERVER_RECORD_SIZE) {
        return -1;
    }
    return stored.status;
}
