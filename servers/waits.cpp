#include "servers/waits.h"

#include <type_traits>

#include "platform/logon_task.h"

namespace {

struct OutsideMessage {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    bool exit;
};

// Room for every kind of message that comes from outside, each once, and then some: equal
// messages are queued once, so only a flood of different ones could fill it.
constexpr int QUEUE_SIZE = 32;

int waitDepth = 0;
OutsideMessage queue[QUEUE_SIZE];
int queueHead = 0;
int queueCount = 0;
// The last post of WM_OUTSIDE_QUEUE failed; the next tick hands the queue on instead.
bool queuePostOwed = false;

void BeginWait() {
    waitDepth++;
}

void PostQueue() {
    queuePostOwed =
        mainDialog != nullptr && !PlatformPostMessage(mainDialog, WM_OUTSIDE_QUEUE, 0, 0);
}

// The queue goes to the window from behind whatever the loop has waiting, so that each message
// runs from the loop itself; a wait that begins before it is handled holds it back again.
void EndWait() {
    waitDepth--;
    if (waitDepth == 0 && queueCount > 0) {
        PostQueue();
    }
}

// Every wait is one platform call between these two: how deep we are is all that is known.
template <typename Call> auto Waiting(Call call) -> decltype(call()) {
    BeginWait();
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        EndWait();
    } else {
        const auto result = call();
        EndWait();
        return result;
    }
}

OutsideMessage& QueueAt(int i) {
    return queue[(queueHead + i) % QUEUE_SIZE];
}

void Enqueue(const OutsideMessage& m) {
    for (int i = 0; i < queueCount; i++) {
        const OutsideMessage& q = QueueAt(i);
        if (q.message == m.message && q.wParam == m.wParam && q.lParam == m.lParam &&
            q.exit == m.exit) {
            return;
        }
    }
    if (queueCount == QUEUE_SIZE) {
        // Nothing may push the exit out; it takes the place of the newest.
        if (m.exit) {
            QueueAt(QUEUE_SIZE - 1) = m;
        }
        return;
    }
    QueueAt(queueCount++) = m;
}

} // namespace

void ResetWaitGlobals() {
    waitDepth = 0;
    queueHead = 0;
    queueCount = 0;
    queuePostOwed = false;
}

bool InsideWait() {
    return waitDepth > 0;
}

bool ExitQueued() {
    for (int i = 0; i < queueCount; i++) {
        if (QueueAt(i).exit) {
            return true;
        }
    }
    return false;
}

// A box asked for after the exit was queued would hold the exit up behind a person again; it
// answers as if cancelled, which every caller takes as no consent.
int WaitForBox(WindowHandle owner, const char* text, const char* caption, uint32_t type) {
    if (ExitQueued()) {
        return ANSWER_CANCEL;
    }
    return Waiting([&] { return PlatformMessageBox(owner, text, caption, type); });
}

void WaitForMenu(WindowHandle owner, void* menu, int32_t x, int32_t y) {
    if (ExitQueued()) {
        return;
    }
    Waiting([&] { PlatformTrackMenu(owner, menu, x, y, MENU_LIFE_MS); });
}

bool WaitForTray(uint32_t action, const void* record) {
    return Waiting([&] { return PlatformNotifyTray(action, record); });
}

bool WaitForCopy(WindowHandle copy, uint32_t command, uint32_t timeoutMs) {
    return Waiting([&] { return PlatformSendCommand(copy, command, timeoutMs); });
}

// The Task Scheduler is a COM server in another process; our thread pumps messages while each
// call crosses over.
long WaitForTaskRegister(const char* name, const char* xml) {
    return Waiting([&] { return PlatformRegisterLogonTask(name, xml); });
}

long WaitForTaskDelete(const char* name) {
    return Waiting([&] { return PlatformDeleteLogonTask(name); });
}

LogonTaskPresence WaitForTaskRead(const char* name, LogonTaskFacts* facts) {
    return Waiting([&] { return PlatformReadLogonTask(name, facts); });
}

void OnOutsideMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!InsideWait() && queueCount == 0) {
        HandleOutsideMessage(message, wParam, lParam);
        return;
    }
    Enqueue({message, wParam, lParam, false});
}

void RequestExit() {
    if (!InsideWait() && queueCount == 0) {
        ExitProgram();
        return;
    }
    Enqueue({0, 0, 0, true});
    if (InsideWait()) {
        PlatformCloseBoxesAndMenus(mainDialog);
    }
}

// One message per posted WM_OUTSIDE_QUEUE: the next is posted before this one is handled, so
// that a wait inside it cannot leave the rest stranded, and no loop here goes on after a call
// that may have waited.
void RunOutsideQueue() {
    if (InsideWait() || queueCount == 0) {
        return;
    }
    const OutsideMessage m = queue[queueHead];
    queueHead = (queueHead + 1) % QUEUE_SIZE;
    queueCount--;
    if (m.exit) {
        // Nothing is left to hand anything to.
        queueCount = 0;
        ExitProgram();
        return;
    }
    if (queueCount > 0) {
        PostQueue();
    }
    HandleOutsideMessage(m.message, m.wParam, m.lParam);
}

void HandOnOutsideQueue() {
    if (!queuePostOwed || InsideWait()) {
        return;
    }
    queuePostOwed = false;
    RunOutsideQueue();
}
