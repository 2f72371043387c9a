#include "tests/native/harness.h"

#include "platform/sim/sim.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "ui/resource.h"

void ResetWorld() {
    SimReset();
    ResetFakes();
    ResetLogicGlobals();
}

void DispatchMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case WM_LOOKUP_DONE:
        HandleLookupDone(wParam, lParam);
        break;
    case WM_SOCKET_EVENT:
        HandleSocketEvent(wParam, lParam);
        break;
    case PLATFORM_WM_TIMER:
        if (wParam == TIMER_CLOCK) {
            OnClockTimer();
        } else if (wParam == TIMER_QUIT) {
            OnQuitTimer();
        } else if (wParam == TIMER_BUSY) {
            BusyTick();
        }
        break;
    default:
        break;
    }
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
