#include "query/query.h"

#include <cstring>

#include "platform/window.h"
#include "query/correction.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/pacing.h"
#include "query/schedule.h"
#include "servers/list_display.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "servers/slot_queries.h"
#include "servers/waits.h"

QuerySession querySessions[SERVER_SLOT_COUNT];
int32_t activeQueries = 0;
uint8_t testOnly = 0;
Ms1900 runDeadline = 0;
uint8_t wholeSecondEstimate = 0;
RunClock runClock = {};
RunNetFacts runNetFacts = {};

static const char PRUNE_TEXT[] =
    "Now that you've successfully corrected your clock using several time servers, Chronoplex "
    "will remove all but the four fastest so that your next correction will run faster and be "
    "more reliable.\n\n(Alternately, you can right click on the server list and edit them "
    "yourself.)";

static const char STEP_QUESTION[] = "\n\nA step of more than 15 minutes needs two servers at "
                                    "different addresses that agree on it. Set the clock anyway?";

// While StartCorrectionRun is still starting the slots of a run, a query that fails at once can
// bring activeQueries down to 0. Ending the run there would let the consensus count slots not
// yet started, which still hold the 102 of an earlier run, and move the clock by that old
// result again. So the end of the run waits until every slot of the run has been started.
static bool startingRun = false;
static bool runEndWaiting = false;
static uint32_t runsBeforeStarting = 0;
// Runs begun and ended so far; the number of the run going on (or last gone) is runsBegun,
// and each query keeps it, so that a loop over the slots ends only its own run's queries. The
// pruning question tells by them whether a run began while it was open, and the display
// whether a run began or ended while it was being shown.
static uint32_t runsBegun = 0;
static uint32_t runsEnded = 0;
// The end of a run is posted (WM_RUN_END) when its last query ends, and carried out from the
// message loop: the loops over the slots that end queries (a stop, the deadline) never wait in
// the middle, whatever the end lets in. Until it has been carried out the run goes on, and what
// the consensus goes by is kept from the moment the last query ended.
static bool runEndPending = false;
static ConsensusInput runEndInput;
// The run going on was started by a person (the run button or its tray menu item), who may be
// asked about a step that the servers did not agree on. Automatic runs never ask.
static bool runByPerson = false;
// Whether the correction run going on was started without the user, and whether it was
// stopped (by the button, a suspend, the end) rather than left to end by itself.
static bool runAutomatic = false;
static bool runStopped = false;

void ResetQueryGlobals() {
    memset(querySessions, 0, sizeof querySessions);
    activeQueries = 0;
    testOnly = 0;
    runDeadline = 0;
    startingRun = false;
    runEndWaiting = false;
    runsBeforeStarting = 0;
    runsBegun = 0;
    runsEnded = 0;
    runEndPending = false;
    runByPerson = false;
    runAutomatic = false;
    runStopped = false;
    wholeSecondEstimate = 0;
    runClock = {};
    runNetFacts = {};
    ResetPacingGlobals();
}

static bool ValidSlot(int slot) {
    return slot >= 0 && slot < SERVER_SLOT_COUNT;
}

bool RunGoingOn() {
    return activeQueries != 0 || runEndPending;
}

// The tray, the busy timer and the button follow from the run counters, not from whoever calls.
// The tray waits on the shell, and the end of the session, which comes in through any wait,
// stops a run there and then; the caller that resumes must not paint the state it set out to
// show over it; so the display is shown again until no run began or ended while it was shown.
static void ShowRunState() {
    for (;;) {
        const uint32_t begun = runsBegun;
        const uint32_t ended = runsEnded;
        const TrayMode mode = !RunGoingOn() ? TrayIdle : testOnly ? TrayTesting : TrayChecking;
        UpdateTrayStatus(mode);
        ShowRunButton(mode);
        if (begun == runsBegun && ended == runsEnded) {
            return;
        }
    }
}

// Both flags clear now, so that the quit timer the correction may have armed cannot end the
// program under the question.
static void OfferPruning() {
    if (freshDefaults) {
        quitAfterCorrection = 0;
        freshDefaults = false;
        PlatformPostMessage(mainDialog, WM_OFFER_PRUNING, 0, 0);
    }
}

// The questions about pruning and about a refused step are not asked from here: a box runs a
// message loop, and a run that began inside it would begin in the middle of this one's end.
// They are posted instead and asked once this end has unwound.
static void EndRun() {
    StopAiming();
    runsEnded++;
    const bool corrected = !testOnly && ApplyConsensusOf(runEndInput);
    if (!testOnly) {
        NoteCorrectionRunOver(runAutomatic, runStopped);
    }
    ShowRunState();
    RefreshDirtyRows();
    if (corrected) {
        OfferPruning();
    } else if (!testOnly && runByPerson && lastRunOutcome == OutcomeRefused) {
        PlatformPostMessage(mainDialog, WM_CONFIRM_STEP, runsBegun, 0);
    }
}

// The step is asked about only while the run that refused it is the last one and nothing has
// replaced its outcome; a run begun while the box is open makes the answer moot.
void OnConfirmStep(uint32_t run) {
    if (InsideWait()) {
        OnOutsideMessage(WM_CONFIRM_STEP, run, 0);
        return;
    }
    if (RunGoingOn() || run != runsBegun || lastRunOutcome != OutcomeRefused) {
        return;
    }
    char text[REFUSAL_TEXT_SIZE + sizeof STEP_QUESTION];
    FormatRefusal(text);
    strncat(text, STEP_QUESTION, sizeof text - strlen(text) - 1);
    const bool yes =
        WaitForBox(mainDialog, text, "Chronoplex", BOX_YESNO | BOX_ICONWARNING) == ANSWER_YES;
    if (!yes || RunGoingOn() || run != runsBegun || !ApplyRefusedStep()) {
        return;
    }
    ShowRunState();
    RefreshDirtyRows();
    OfferPruning();
}

// The pruning goes by the results of the run that offered it. A run going on now, or one that
// begins while the question is open, replaces those results (a failing one leaves no good
// server at all, and the pruning would drop every one); the offer then waits for the next
// successful run. A list reset since the offer has no results yet and an offer of its own to
// come.
void OnOfferPruning() {
    // Asked from inside another wait, the answer would change the table under its caller.
    if (InsideWait()) {
        OnOutsideMessage(WM_OFFER_PRUNING, 0, 0);
        return;
    }
    if (freshDefaults) {
        return;
    }
    if (RunGoingOn()) {
        freshDefaults = true;
        return;
    }
    const uint32_t runsBefore = runsBegun;
    const bool accepted = WaitForBox(mainDialog, PRUNE_TEXT, "Chronoplex",
                                     BOX_OKCANCEL | BOX_ICONWARNING) == ANSWER_OK;
    if (!accepted) {
        return;
    }
    if (runsBegun != runsBefore || freshDefaults) {
        freshDefaults = true;
        return;
    }
    KeepBestFour();
}

// The schedule counts from the last success only (query/schedule.h), not from a start.
static void StartRun(bool automatic, bool byPerson) {
    if (RunGoingOn()) {
        return;
    }
    runByPerson = byPerson;
    testOnly = 0;
    runAutomatic = automatic;
    const uint32_t before = runsBegun;
    BeginStartingQueries();
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        ServerRecord& record = serverTable[slot];
        if (IsFreeSlot(record)) {
            continue;
        }
        if (record.enabled != 0) {
            StartQuery(slot);
        } else {
            record.status = Disabled;
            SaveServer(slot);
            querySessions[slot].dirty = 1;
        }
    }
    RefreshDirtyRows();
    FinishStartingQueries();
    // Without a server to ask the run has no end of its own, and it has found no server.
    if (runsBegun == before && !RunGoingOn()) {
        lastRunOutcome = OutcomeNoServer;
        runNetFacts = {};
        NoteCorrectionRunOver(automatic, false);
    }
}

void StartCorrectionRun() {
    StartRun(false, false);
}

void StartAutomaticRun() {
    StartRun(true, false);
}

// Stopped, a run is no failure: what it found may still correct the clock.
static void StopRunGoingOn() {
    if (activeQueries > 0) {
        runStopped = true;
    }
    AbortAllQueries(Interrupted);
}

void PressRunButton() {
    if (RunGoingOn()) {
        StopRunGoingOn();
    } else {
        StartRun(false, true);
    }
}

void RunIfIdle() {
    if (!RunGoingOn()) {
        StartAutomaticRun();
    }
}

// Carries out the end now; it may wait (the broadcast, the tray), so no caller loops over the
// slots around it.
static void FinishRunEnd() {
    runEndPending = false;
    EndRun();
}

// Nothing here waits: the end is posted, and only when it cannot be does it run at once.
static void PostRunEnd() {
    runEndPending = true;
    runEndInput = TakeConsensusInput();
    if (mainDialog == nullptr || !PlatformPostMessage(mainDialog, WM_RUN_END, runsBegun, 0)) {
        FinishRunEnd();
    }
}

void OnRunEnd(uint32_t run) {
    if (runEndPending && run == runsBegun) {
        FinishRunEnd();
    }
}

void BeginStartingQueries() {
    startingRun = true;
    runEndWaiting = false;
    runsBeforeStarting = runsBegun;
}

// The run is shown once all its slots have started: the tray call waits on the shell, and
// nothing may come in between two slots of one start.
void FinishStartingQueries() {
    startingRun = false;
    const bool began = runsBegun != runsBeforeStarting;
    if (runEndWaiting) {
        runEndWaiting = false;
        if (activeQueries == 0) {
            PostRunEnd();
        }
    }
    if (began) {
        ShowRunState();
    }
}

void StartQuery(int slot) {
    if (!ValidSlot(slot) || querySessions[slot].phase != Idle) {
        return;
    }
    QuerySession& session = querySessions[slot];
    ServerRecord& record = serverTable[slot];
    // A run whose end is only waiting for the start loop is still the same run. A query
    // started on its own (outside a start loop) shows its run at once.
    if (activeQueries++ == 0 && !runEndWaiting) {
        runsBegun++;
        sampleSpacingMs = ReadSampleSpacing();
        wholeSecondEstimate = ReadWholeSecondEstimate() ? 1 : 0;
        runClock = StartRunClock();
        runStopped = false;
        runNetFacts = {};
        if (!startingRun) {
            ShowRunState();
        }
    }
    // Every deadline of a run is on its clock: whoever sets the wall clock meanwhile neither
    // cuts the run short nor holds it open.
    runDeadline = RunClockNow(runClock) + START_WAIT_MS;
    session.run = runsBegun;
    session.sampleIndex = 0;
    record.status = None;
    session.address = NetInetAddr(record.name);
    if (session.address != NET_INADDR_NONE) {
        StartSample(slot);
        return;
    }
    session.phase = Resolving;
    session.dirty = 1;
    session.lookupTask = NetAsyncGetHostByName(mainDialog, WM_LOOKUP_DONE, record.name,
                                               session.lookupBuffer, NET_LOOKUP_BUFFER_SIZE);
    if (session.lookupTask == 0) {
        EndQuery(slot, WinsockError);
    }
}

void OnLookupDone(TaskHandle task, uint32_t error) {
    // No lookup has the handle 0; it is what every slot without a lookup holds.
    if (task == 0) {
        return;
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        QuerySession& session = querySessions[slot];
        if (session.phase == Idle || session.lookupTask != task) {
            continue;
        }
        session.lookupTask = 0;
        // A name without an IPv4 address (WSANO_DATA) is as much this one server's trouble as
        // a name that does not exist.
        if (error == NET_WSAHOST_NOT_FOUND || error == NET_WSANO_DATA) {
            runNetFacts.lookupsFailed++;
            EndQuery(slot, NoDnsEntry);
        } else if (error != 0) {
            runNetFacts.lookupsFailed++;
            // Any other failure is this name's too (its name servers may be the ones down):
            // the servers given by address, or by names that resolve, go on. Where the network
            // itself is down, every lookup fails on its own.
            EndQuery(slot, NetIsDown);
        } else {
            session.address = NetLookupFirstAddress(session.lookupBuffer);
            StartSample(slot);
        }
        return;
    }
}

// The platform hands a closed socket's value to the next socket at once, while notices posted
// for the old one may still wait in the queue, and such a notice would then be taken for the
// new socket's (a refusal for a server that answers, say). So the notices stop now, but the
// socket is closed only by a message posted behind the ones already waiting: until then its
// value stays taken, and once it is closed nothing queued can name it any more. Without a
// window there are no notices either, and nowhere to post; it is closed at once.
static void ReleaseSocket(SocketHandle socket) {
    NetAsyncSelect(socket, mainDialog, 0, 0);
    if (mainDialog == nullptr || !PlatformPostMessage(mainDialog, WM_CLOSE_SOCKET, socket, 0)) {
        NetCloseSocket(socket);
    }
}

// Only a socket released above comes here; one that a query holds is never closed behind its
// back, whoever sent the message.
void OnCloseSocket(SocketHandle socket) {
    if (socket == 0) {
        return;
    }
    for (const QuerySession& session : querySessions) {
        if (session.phase != Idle && session.socketHandle == socket) {
            return;
        }
    }
    NetCloseSocket(socket);
}

// The entry points below act only on a query in the phase they belong to; anything else would
// bring a slot back to life without counting it among the active queries.
void ConnectSample(int slot) {
    if (!ValidSlot(slot) || querySessions[slot].phase == Idle) {
        return;
    }
    QuerySession& session = querySessions[slot];
    session.socketHandle = NetSocket();
    if (session.socketHandle == NET_INVALID_SOCKET) {
        session.socketHandle = 0;
        EndQuery(slot, WinsockError);
        return;
    }
    if (NetBindAny(session.socketHandle) != 0 || NetSetDontLinger(session.socketHandle) != 0 ||
        NetAsyncSelect(session.socketHandle, mainDialog, WM_SOCKET_EVENT,
                       NET_FD_READ | NET_FD_CONNECT | NET_FD_CLOSE) != 0) {
        EndQuery(slot, WinsockError);
        return;
    }
    session.phase = Connecting;
    session.dirty = 1;
    NoteConnection(session.address);
    if (session.sampleIndex >= 0 && session.sampleIndex < SAMPLE_COUNT) {
        session.sampleConnectAt[session.sampleIndex] = RunClockNow(runClock);
    }
    runNetFacts.connects++;
    if (NetConnect(session.socketHandle, session.address, TIME_PORT) == 0 ||
        NetLastError() == NET_WSAEWOULDBLOCK) {
        runDeadline = RunClockNow(runClock) + START_WAIT_MS;
    } else {
        EndQuery(slot, WinsockError);
    }
}

void OnConnectDone(int slot, uint32_t error) {
    if (!ValidSlot(slot) || querySessions[slot].phase != Connecting ||
        querySessions[slot].sampleIndex >= SAMPLE_COUNT) {
        return;
    }
    QuerySession& session = querySessions[slot];
    if (error != 0) {
        if (error == NET_WSAETIMEDOUT) {
            runNetFacts.connectsTimedOut++;
        }
        EndQuery(slot, error == NET_WSAECONNREFUSED ? Refused : NoResponse);
    } else {
        session.sampleLatency[session.sampleIndex] = ReadTickMs();
        session.phase = Reading;
        session.dirty = 1;
    }
    runDeadline = RunClockNow(runClock) + ANSWER_WAIT_MS;
}

void OnSampleData(int slot, uint32_t error) {
    if (!ValidSlot(slot) || querySessions[slot].phase != Reading) {
        return;
    }
    QuerySession& session = querySessions[slot];
    if (error != 0) {
        EndQuery(slot, NoResponse);
        return;
    }
    unsigned char answer[4];
    if (NetRecv(session.socketHandle, reinterpret_cast<char*>(answer), 4) != 4) {
        EndQuery(slot, NoResponse);
        return;
    }
    const uint32_t seconds = (uint32_t{answer[0]} << 24) | (uint32_t{answer[1]} << 16) |
                             (uint32_t{answer[2]} << 8) | uint32_t{answer[3]};
    // Busy public servers answer four zero bytes instead of refusing. That is no time, and
    // taken as one it would set the clock back to 1900 (or 2036).
    if (seconds == 0) {
        EndQuery(slot, NoResponse);
        return;
    }
    RecordSample(slot, seconds);
    session.sampleIndex++;
    session.dirty = 1;
    if (session.sampleIndex >= SAMPLE_COUNT) {
        ReduceSamples(slot);
        return;
    }
    ReleaseSocket(session.socketHandle);
    session.socketHandle = 0;
    StartSample(slot);
}

void EndQuery(int slot, int32_t status) {
    if (!ValidSlot(slot) || querySessions[slot].phase == Idle) {
        return;
    }
    QuerySession& session = querySessions[slot];
    if (session.lookupTask != 0) {
        NetCancelAsyncRequest(session.lookupTask);
        session.lookupTask = 0;
    }
    if (session.socketHandle != 0) {
        ReleaseSocket(session.socketHandle);
        session.socketHandle = 0;
    }
    session.phase = Idle;
    serverTable[slot].status = status;
    SaveServer(slot);
    session.dirty = 1;
    if (--activeQueries > 0) {
        return;
    }
    if (startingRun) {
        runEndWaiting = true;
        return;
    }
    PostRunEnd();
}

void MarkSlotChanged(int slot) {
    if (ValidSlot(slot)) {
        querySessions[slot].dirty = 1;
    }
}

void InterruptSlotQuery(int slot) {
    EndQuery(slot, Interrupted);
}

static void EndRunQueries(uint32_t run, int32_t status, bool waitingToo) {
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const QuerySession& session = querySessions[slot];
        if (session.phase != Idle && session.run == run &&
            (waitingToo || session.phase != Waiting)) {
            EndQuery(slot, status);
        }
    }
}

void AbortAllQueries(int32_t status) {
    EndRunQueries(runsBegun, status, true);
}

void StopRuns() {
    StopRunGoingOn();
    if (runEndPending) {
        FinishRunEnd();
    }
}

void OnSessionEnding() {
    StopRuns();
    RequestExit();
}

void HandleLookupDone(uintptr_t wParam, intptr_t lParam) {
    OnLookupDone(wParam, (static_cast<uintptr_t>(lParam) >> 16) & 0xFFFF);
}

// A notice for a socket that no query holds any more is a leftover of one that has ended, and
// a notice that does not fit the query's phase (a second readable notice, say) is turned away
// by the step it reaches.
void HandleSocketEvent(uintptr_t wParam, intptr_t lParam) {
    const SocketHandle socket = wParam;
    const uintptr_t event = static_cast<uintptr_t>(lParam) & 0xFFFF;
    const uint32_t error = (static_cast<uintptr_t>(lParam) >> 16) & 0xFFFF;
    if (socket == 0) {
        return;
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const QuerySession& session = querySessions[slot];
        if (session.phase == Idle || session.socketHandle != socket) {
            continue;
        }
        // A server that cannot tell the time may close without a word, and that close brings
        // no readable notice: it is read like one, so that the four bytes still count if they
        // came before it, and nothing reads as the close it is.
        if (event == NET_FD_READ || event == NET_FD_CLOSE) {
            OnSampleData(slot, error);
        } else if (event == NET_FD_CONNECT) {
            OnConnectDone(slot, error);
        }
        return;
    }
}

// Strictly later: a deadline equal to now has not passed yet. The deadline is for connections
// and answers; a query waiting to be allowed to connect again is slow at nothing.
void CheckRunDeadline() {
    if (activeQueries == 0 || RunClockNow(runClock) <= runDeadline) {
        return;
    }
    for (const QuerySession& session : querySessions) {
        if (session.phase == Connecting && session.run == runsBegun) {
            runNetFacts.connectsTimedOut++;
        }
    }
    EndRunQueries(runsBegun, SlowResponse, false);
}
