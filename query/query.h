// The Time protocol client: one query per server slot, each resolving the server's address and
// then taking seven samples over fresh connections, under one run-wide deadline. When each
// sample may start is the pacing's (query/pacing.h).
#pragma once
#include <cstdint>

#include "platform/net.h"
#include "query/consensus.h"
#include "servers/server_table.h"
#include "servers/slot_queries.h"
#include "time/timebase.h"

constexpr uint16_t TIME_PORT = 37;
constexpr int64_t START_WAIT_MS = 120000;
constexpr int64_t ANSWER_WAIT_MS = 20000;

enum QueryPhase : int32_t { Idle = 0, Resolving = 1, Connecting = 2, Reading = 3, Waiting = 4 };

struct QuerySession {
    uint8_t dirty; // the slot's list row is out of date
    int32_t phase; // a QueryPhase
    int32_t sampleIndex;
    uint32_t address; // network byte order
    uint32_t sampleLatency[SAMPLE_COUNT];
    int64_t sampleCorrection[SAMPLE_COUNT];
    SocketHandle socketHandle; // 0: none
    TaskHandle lookupTask;     // 0: none
    TickMs waitingSince; // Waiting: when the sample fell ready; the longest waiting goes first
    uint32_t run;        // the number of the run the query belongs to
    // The precise estimate's view of each sample, on the run's time: just before its connect
    // call, when its answer arrived, and what it says of the correction.
    Ms1900 sampleConnectAt[SAMPLE_COUNT];
    Ms1900 sampleAnswerAt[SAMPLE_COUNT];
    Interval sampleInterval[SAMPLE_COUNT];
    alignas(8) char lookupBuffer[NET_LOOKUP_BUFFER_SIZE]; // read as the platform's record
};

extern QuerySession querySessions[SERVER_SLOT_COUNT];
extern int32_t activeQueries;
extern uint8_t testOnly;
extern Ms1900 runDeadline;
// Read at the start of each run: the older arithmetic ("WholeSecondEstimate" 1), else the
// precise estimate with aimed samples.
extern uint8_t wholeSecondEstimate;
// The run's one clock (time/timebase.h), taken when its first query starts.
extern RunClock runClock;

// What the network did in the correction run going on (or last gone), for saying what may be
// wrong when no server counted: connect calls made, those that timed out (by the platform or
// at the run's deadline), and lookups that failed.
struct RunNetFacts {
    int32_t connects;
    int32_t connectsTimedOut;
    int32_t lookupsFailed;
};
extern RunNetFacts runNetFacts;

// A run goes on from its first query's start until its end has been carried out, which is
// posted when its last query ends: the rules that ask whether a run goes on ask this.
bool RunGoingOn();

void StartCorrectionRun();
// The same, started by the launch, the schedule, a resume or a second copy rather than by the
// user: only such a run is tried again after it failed (query/schedule.h).
void StartAutomaticRun();
// The commands that start runs: the run button (and its tray menu item) starts a correction,
// or stops the run going on; a second copy's request starts one unless a run goes on.
void PressRunButton();
void RunIfIdle();
// Brackets a loop that starts several queries of one run: a query that ends while the loop is
// still going cannot end the run before the rest have started.
void BeginStartingQueries();
void FinishStartingQueries();
void StartQuery(int slot);
void OnLookupDone(TaskHandle task, uint32_t error);
void ConnectSample(int slot);
void OnConnectDone(int slot, uint32_t error);
void OnSampleData(int slot, uint32_t error);
void EndQuery(int slot, int32_t status);
// Ends the queries of the run going on, and no other's.
void AbortAllQueries(int32_t status);
// WM_ENDSESSION: Windows may end the process as soon as the handler returns. The run stops and
// its end is stored now; the window goes once no wait of ours is under way.
void OnSessionEnding();

// Handlers of the main window's messages and of the busy timer.
void HandleLookupDone(uintptr_t wParam, intptr_t lParam);
void HandleSocketEvent(uintptr_t wParam, intptr_t lParam);
void CheckRunDeadline();
// WM_OFFER_PRUNING: asks whether to keep only the four fastest servers, as the end of a
// successful run over fresh defaults offered.
void OnOfferPruning();
// WM_CONFIRM_STEP: asks whether to set the clock by the step that run number run refused.
void OnConfirmStep(uint32_t run);
// WM_CLOSE_SOCKET: closes a socket whose notices were stopped when its query let it go.
void OnCloseSocket(SocketHandle socket);
// WM_RUN_END: carries out the end of run number run, posted when its last query ended.
void OnRunEnd(uint32_t run);

// Puts this module's globals back to their start values (for tests).
void ResetQueryGlobals();
