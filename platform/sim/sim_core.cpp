// The simulated platform's clock, counter, message queue, timers and window services.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/counter.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"
#include "platform/window.h"

namespace {

constexpr uint64_t FILETIME_PER_MS = 10000;
constexpr uint32_t SIM_ERROR_INVALID_PARAMETER = 87;
constexpr uint64_t DAYS_1601_TO_1970 = 134774;
// 2026-01-01 00:00:00 UTC as a file time.
constexpr uint64_t INITIAL_WALL = (DAYS_1601_TO_1970 + 20454) * 86400000ull * FILETIME_PER_MS;

struct QueueItem {
    bool used;
    uint64_t due;
    uint64_t sequence;
    bool isCall;
    SimMessage message;
    void (*fn)(uintptr_t);
    uintptr_t context;
};

constexpr int QUEUE_SIZE = 4096;
constexpr int TIMER_COUNT = 8;

struct Timer {
    bool active;
    WindowHandle window;
    uint32_t period;
    uint64_t nextDue;
};

struct State {
    uint64_t elapsed;
    int64_t wallBase;    // wall file time minus elapsed * FILETIME_PER_MS, may wrap
    uint64_t localAhead; // how far the program has set the clock from the true time, wrapping
    uint64_t counterBase;
    uint64_t counterElapsedStart;
    uint64_t frequency;
    uint32_t clockFailure;
    int heldClockReads; // the next reads of the wall clock each hold the thread heldMs after
    uint32_t heldMs;
    uint32_t lastError;
    int clockSets;
    int32_t zoneMinutes;
    int32_t dstMinutes;
    uint64_t dstStart;
    uint64_t dstEnd;
    uint32_t priority;
    int priorityChanges;
    QueueItem queue[QUEUE_SIZE];
    uint64_t sequence;
    Timer timers[TIMER_COUNT];
    int answers[16];
    int answerHead;
    int answerCount;
    int boxCount;
    char boxText[1024];
    char boxCaption[128];
    uint32_t boxType;
    int broadcasts;
    uint32_t menuLifeMs;
    int destroys;
    WindowHandle destroyed;
    void (*waitHooks[SIM_WAIT_COUNT])();
    int waitCounts[SIM_WAIT_COUNT];
    int closeWaits;
    void (*misuse)(const char*);
    bool fineTimers;
    int fineTimerRequests;
    struct Dialog {
        char title[64];
        int32_t control;
        SimElevation elevation;
    } dialogs[4];
    int dialogCount;
    bool noIntegrityLevels;
    int postsToFail;
};

State state;

uint64_t Wall() {
    return static_cast<uint64_t>(state.wallBase) + state.elapsed * FILETIME_PER_MS;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

Timer* FindTimer(uint32_t id) {
    return id < TIMER_COUNT ? &state.timers[id] : nullptr;
}

} // namespace

void SimReset() {
    memset(&state, 0, sizeof state);
    state.wallBase = static_cast<int64_t>(INITIAL_WALL);
    state.frequency = 10000000;
    state.priority = PRIORITY_CLASS_NORMAL;
    SimResetRegistry();
    SimResetNet();
    SimResetLogonTasks();
    SimResetInstall();
}

uint64_t SimElapsedMs() {
    return state.elapsed;
}

void SimSetWallClock(uint64_t fileTime) {
    state.wallBase = static_cast<int64_t>(fileTime - state.elapsed * FILETIME_PER_MS);
}

uint64_t SimTrueClock() {
    return Wall() - state.localAhead;
}

uint64_t SimWallClock() {
    return Wall();
}

void SimSetCounter(uint64_t value, uint64_t frequency) {
    state.counterBase = value;
    state.counterElapsedStart = state.elapsed;
    state.frequency = frequency;
}

void SimHoldAfterClockReads(int reads, uint32_t ms) {
    state.heldClockReads = reads;
    state.heldMs = ms;
}

void SimSetClockFailure(uint32_t error) {
    state.clockFailure = error;
}
int SimClockSetCount() {
    return state.clockSets;
}

void SimSetTimeZone(int32_t offsetMinutes, int32_t dstExtraMinutes, uint64_t dstStart,
                    uint64_t dstEnd) {
    state.zoneMinutes = offsetMinutes;
    state.dstMinutes = dstExtraMinutes;
    state.dstStart = dstStart;
    state.dstEnd = dstEnd;
}

uint32_t SimPriorityClass() {
    return state.priority;
}
int SimPriorityChangeCount() {
    return state.priorityChanges;
}

// ---- platform clock ----

uint64_t PlatformGetSystemTime() {
    const uint64_t wall = Wall();
    if (state.heldClockReads > 0) {
        state.heldClockReads--;
        state.elapsed += state.heldMs;
    }
    return wall;
}

bool PlatformSetSystemTime(const CivilTime& utc) {
    if (state.clockFailure != 0) {
        state.lastError = state.clockFailure;
        return false;
    }
    // The platform refuses fields out of range, and years before 1601 or after 30827.
    static const uint8_t MONTH_DAYS[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = utc.year % 4 == 0 && (utc.year % 100 != 0 || utc.year % 400 == 0);
    if (utc.year < 1601 || utc.year > 30827 || utc.month < 1 || utc.month > 12 || utc.day < 1 ||
        utc.day > MONTH_DAYS[utc.month - 1] - (utc.month == 2 && !leap) || utc.hour > 23 ||
        utc.minute > 59 || utc.second > 59 || utc.milliseconds > 999) {
        state.lastError = SIM_ERROR_INVALID_PARAMETER;
        return false;
    }
    int64_t days = DaysFromCivil(utc.year, utc.month, utc.day) + DAYS_1601_TO_1970;
    uint64_t ms = static_cast<uint64_t>(days) * 86400000u + uint64_t{utc.hour} * 3600000u +
                  uint64_t{utc.minute} * 60000u + uint64_t{utc.second} * 1000u + utc.milliseconds;
    const uint64_t before = Wall();
    SimSetWallClock(ms * FILETIME_PER_MS);
    state.localAhead += Wall() - before;
    state.clockSets++;
    state.lastError = 0;
    return true;
}

bool PlatformFileTimeToCivil(uint64_t fileTime, CivilTime* out) {
    // The platform refuses values with the top bit set.
    if (fileTime >> 63) {
        return false;
    }
    uint64_t ms = fileTime / FILETIME_PER_MS;
    int64_t days = static_cast<int64_t>(ms / 86400000u);
    uint64_t rest = ms % 86400000u;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days - static_cast<int64_t>(DAYS_1601_TO_1970), &y, &m, &d);
    out->year = static_cast<uint16_t>(y);
    out->month = static_cast<uint16_t>(m);
    out->day = static_cast<uint16_t>(d);
    // 1601-01-01 was a Monday.
    out->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);
    out->hour = static_cast<uint16_t>(rest / 3600000u);
    out->minute = static_cast<uint16_t>(rest / 60000u % 60u);
    out->second = static_cast<uint16_t>(rest / 1000u % 60u);
    out->milliseconds = static_cast<uint16_t>(rest % 1000u);
    return true;
}

// Like the platform's own conversion, the bias is the one in force now, not at the instant
// converted: a time from before a daylight-saving change shows an hour off after it.
uint64_t PlatformFileTimeToLocal(uint64_t utcFileTime) {
    int64_t minutes = state.zoneMinutes;
    if (Wall() >= state.dstStart && Wall() < state.dstEnd) {
        minutes += state.dstMinutes;
    }
    return utcFileTime + static_cast<uint64_t>(minutes * 60 * 10000000ll);
}

uint32_t PlatformLastError() {
    return state.lastError;
}

// Some of the platform's calls clear the last error when they succeed; this one does so here,
// so that a caller that reads the error of an earlier call too late is caught.
void PlatformSetPriorityClass(uint32_t priorityClass) {
    state.priority = priorityClass;
    state.priorityChanges++;
    state.lastError = 0;
}

// ---- counter ----

uint64_t PlatformCounterFrequency() {
    return state.frequency;
}

uint64_t PlatformCounterValue() {
    if (state.frequency == 0) {
        return 0;
    }
    uint64_t ms = state.elapsed - state.counterElapsedStart;
    // Whole counts for whole milliseconds, exact for frequencies that are multiples of 1000.
    return state.counterBase + ms * (state.frequency / 1000) + ms * (state.frequency % 1000) / 1000;
}

// ---- message queue ----

static QueueItem* NewItem(uint64_t delayMs) {
    for (QueueItem& item : state.queue) {
        if (!item.used) {
            item = QueueItem{};
            item.used = true;
            item.due = state.elapsed + delayMs;
            item.sequence = state.sequence++;
            return &item;
        }
    }
    return nullptr; // a full queue is a test that loops; the test then sees messages missing
}

void SimPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                    uint64_t delayMs) {
    QueueItem* item = NewItem(delayMs);
    if (item != nullptr) {
        item->message = SimMessage{window, message, wParam, lParam};
    }
}

void SimScheduleCall(uint64_t delayMs, void (*fn)(uintptr_t), uintptr_t context) {
    QueueItem* item = NewItem(delayMs);
    if (item != nullptr) {
        item->isCall = true;
        item->fn = fn;
        item->context = context;
    }
}

bool SimNextMessage(uint64_t maxMs, SimMessage* message) {
    const uint64_t limit = state.elapsed + maxMs;
    for (;;) {
        // The earliest of the queue and the timers.
        QueueItem* best = nullptr;
        for (QueueItem& item : state.queue) {
            if (item.used && (best == nullptr || item.due < best->due ||
                              (item.due == best->due && item.sequence < best->sequence))) {
                best = &item;
            }
        }
        Timer* bestTimer = nullptr;
        uint32_t bestTimerId = 0;
        for (uint32_t id = 0; id < TIMER_COUNT; id++) {
            Timer& t = state.timers[id];
            if (t.active && (bestTimer == nullptr || t.nextDue < bestTimer->nextDue)) {
                bestTimer = &t;
                bestTimerId = id;
            }
        }
        // Timers lose ties against posted messages, as on the platform.
        if (bestTimer != nullptr && (best == nullptr || bestTimer->nextDue < best->due)) {
            if (bestTimer->nextDue > limit) {
                state.elapsed = limit;
                return false;
            }
            if (bestTimer->nextDue > state.elapsed) {
                state.elapsed = bestTimer->nextDue;
            }
            bestTimer->nextDue = state.elapsed + bestTimer->period;
            *message = SimMessage{bestTimer->window, PLATFORM_WM_TIMER, bestTimerId, 0};
            return true;
        }
        if (best == nullptr || best->due > limit) {
            state.elapsed = limit;
            return false;
        }
        if (best->due > state.elapsed) {
            state.elapsed = best->due;
        }
        best->used = false;
        if (best->isCall) {
            best->fn(best->context);
            continue;
        }
        *message = best->message;
        return true;
    }
}

int SimQueuedMessageCount() {
    int n = 0;
    for (const QueueItem& item : state.queue) {
        n += item.used && !item.isCall;
    }
    return n;
}

bool SimTimerActive(uint32_t id) {
    Timer* t = FindTimer(id);
    return t != nullptr && t->active;
}

uint32_t SimTimerPeriod(uint32_t id) {
    Timer* t = FindTimer(id);
    return t != nullptr && t->active ? t->period : 0;
}

// ---- window services ----

void PlatformSetTimer(WindowHandle window, uint32_t id, uint32_t periodMs) {
    SimCheckWindow(window, "setting a timer");
    Timer* t = FindTimer(id);
    if (t == nullptr) {
        return;
    }
    // The platform raises shorter periods to its minimum of 10 ms.
    periodMs = periodMs < 10 ? 10 : periodMs;
    *t = Timer{true, window, periodMs, state.elapsed + periodMs};
}

void PlatformKillTimer(WindowHandle window, uint32_t id) {
    SimCheckWindow(window, "killing a timer");
    Timer* t = FindTimer(id);
    if (t != nullptr) {
        t->active = false;
    }
}

void PlatformFineTimers(bool fine) {
    if (fine && !state.fineTimers) {
        state.fineTimerRequests++;
    }
    state.fineTimers = fine;
}

bool SimFineTimers() {
    return state.fineTimers;
}

int SimFineTimerRequests() {
    return state.fineTimerRequests;
}

void SimQueueBoxAnswer(int answer) {
    if (state.answerCount < 16) {
        state.answers[(state.answerHead + state.answerCount++) % 16] = answer;
    }
}

int PlatformMessageBox(WindowHandle owner, const char* text, const char* caption, uint32_t type) {
    SimCheckWindow(owner, "a message box");
    state.boxCount++;
    snprintf(state.boxText, sizeof state.boxText, "%s", text);
    snprintf(state.boxCaption, sizeof state.boxCaption, "%s", caption);
    state.boxType = type;
    const int closesBefore = state.closeWaits;
    SimRunWaitHook(SIM_WAIT_BOX);
    if (state.closeWaits != closesBefore) {
        return ANSWER_CANCEL;
    }
    if (state.answerCount == 0) {
        return ANSWER_OK;
    }
    int answer = state.answers[state.answerHead];
    state.answerHead = (state.answerHead + 1) % 16;
    state.answerCount--;
    return answer;
}

int SimBoxCount() {
    return state.boxCount;
}
const char* SimLastBoxText() {
    return state.boxText;
}
const char* SimLastBoxCaption() {
    return state.boxCaption;
}
uint32_t SimLastBoxType() {
    return state.boxType;
}
void SimSetWaitHook(SimWait wait, void (*hook)()) {
    state.waitHooks[wait] = hook;
}
int SimWaitCount(SimWait wait) {
    return state.waitCounts[wait];
}
int SimCloseWaitsCount() {
    return state.closeWaits;
}
void SimSetMisuseHandler(void (*handler)(const char* what)) {
    state.misuse = handler;
}

void SimRunWaitHook(int wait) {
    state.waitCounts[wait]++;
    if (state.waitHooks[wait] != nullptr) {
        state.waitHooks[wait]();
    }
}

void SimCheckWindow(const void* window, const char* call) {
    if (window == nullptr || window != state.destroyed) {
        return;
    }
    char what[128];
    snprintf(what, sizeof what, "%s names a destroyed window", call);
    if (state.misuse != nullptr) {
        state.misuse(what);
        return;
    }
    fprintf(stderr, "simulated platform: %s\n", what);
    abort();
}

void PlatformAnnounceTimeChange() {
    state.broadcasts++;
}
int SimBroadcastCount() {
    return state.broadcasts;
}

// A dialog's handle is its place in the table, from 1.
WindowHandle SimAddDialog(const char* title, int32_t control, SimElevation elevation) {
    if (state.dialogCount == 4) {
        return nullptr;
    }
    State::Dialog& d = state.dialogs[state.dialogCount++];
    snprintf(d.title, sizeof d.title, "%s", title);
    d.control = control;
    d.elevation = elevation;
    return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(state.dialogCount));
}

void SimNoIntegrityLevels(bool none) {
    state.noIntegrityLevels = none;
}

WindowHandle PlatformNextDialog(WindowHandle after, const char* title, int32_t control) {
    for (int i = static_cast<int>(reinterpret_cast<uintptr_t>(after)); i < state.dialogCount; i++) {
        if (strcmp(state.dialogs[i].title, title) == 0 && state.dialogs[i].control == control) {
            return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(i + 1));
        }
    }
    return nullptr;
}

bool PlatformWindowElevated(WindowHandle window) {
    const uintptr_t i = reinterpret_cast<uintptr_t>(window);
    if (i == 0 || i > static_cast<uintptr_t>(state.dialogCount)) {
        return false;
    }
    return state.noIntegrityLevels || state.dialogs[i - 1].elevation == SIM_HIGH;
}

void PlatformDestroyWindow(WindowHandle window) {
    SimCheckWindow(window, "destroying a window");
    state.destroys++;
    state.destroyed = window;
}

void PlatformTrackMenu(WindowHandle owner, void*, int32_t, int32_t, uint32_t lifeMs) {
    SimCheckWindow(owner, "a menu");
    state.menuLifeMs = lifeMs;
    SimRunWaitHook(SIM_WAIT_MENU);
}

uint32_t SimLastMenuLife() {
    return state.menuLifeMs;
}

bool PlatformNotifyTray(uint32_t, const void*) {
    SimRunWaitHook(SIM_WAIT_TRAY);
    return true;
}

bool PlatformSendCommand(WindowHandle, uint32_t, uint32_t) {
    SimRunWaitHook(SIM_WAIT_SEND);
    return true;
}

void PlatformCloseBoxesAndMenus(WindowHandle) {
    state.closeWaits++;
}
int SimDestroyCount() {
    return state.destroys;
}

// There is no window to post to without a handle; a full queue stands for the platform's own
// limit.
void SimFailPosts(int count) {
    state.postsToFail = count;
}

bool PlatformPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    SimCheckWindow(window, "posting a message");
    if (state.postsToFail > 0) {
        state.postsToFail--;
        return false;
    }
    QueueItem* item = window != nullptr ? NewItem(0) : nullptr;
    if (item == nullptr) {
        return false;
    }
    item->message = SimMessage{window, message, wParam, lParam};
    return true;
}
