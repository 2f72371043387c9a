#include "query/engine_messages.h"

#include "platform/window.h"
#include "query/display.h"
#include "query/pacing.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/list_display.h"
#include "servers/waits.h"

void OnBusyTimer() {
    HandOnOutsideQueue();
    AnimateTrayStep();
    CheckRunDeadline();
    StartDueSamples();
    RefreshDirtyRows();
}

static void OnEngineTimer(uintptr_t id) {
    switch (id) {
    case TIMER_CLOCK:
        OnClockTimer();
        break;
    case TIMER_QUIT:
        OnQuitTimer();
        break;
    case TIMER_BUSY:
        OnBusyTimer();
        break;
    case TIMER_AIM:
        StartDueSamples();
        break;
    case TIMER_RETRY:
        OnRetryTimer();
        break;
    default:
        break;
    }
}

bool HandleEngineMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case WM_LOOKUP_DONE:
        HandleLookupDone(wParam, lParam);
        return true;
    case WM_SOCKET_EVENT:
        HandleSocketEvent(wParam, lParam);
        return true;
    case PLATFORM_WM_TIMER:
        OnEngineTimer(wParam);
        return true;
    case WM_OFFER_PRUNING:
        OnOfferPruning();
        return true;
    case WM_CLOSE_SOCKET:
        OnCloseSocket(wParam);
        return true;
    case WM_RUN_END:
        OnRunEnd(static_cast<uint32_t>(wParam));
        return true;
    case WM_CONFIRM_STEP:
        OnConfirmStep(static_cast<uint32_t>(wParam));
        return true;
    case WM_OUTSIDE_QUEUE:
        RunOutsideQueue();
        return true;
    case WM_POWER_EVENT:
        OnPowerEvent(wParam, static_cast<TickMs>(static_cast<uintptr_t>(lParam)));
        return true;
    default:
        return false;
    }
}
