// Control of the simulated platform, for tests.
//
// Virtual time: "elapsed" milliseconds since SimReset drive everything that happens later
// (timers, network replies). The wall clock is the base plus elapsed, and a test may move the
// base either way at any time (SimSetWallClock) without disturbing elapsed; the performance
// counter advances with elapsed at its own frequency. Nothing moves unless the test says so.
//
// Posted window messages (timer ticks, network notices) wait in one queue ordered by their due
// time and then by the order they were posted. The test pops them one at a time and hands
// them to the logic, as the real message loop would.
#pragma once
#include <cstdint>

#include "platform/window.h"

// Back to the initial state: wall clock at 2026-01-01 00:00:00 UTC, counter 0 at 10 MHz,
// UTC time zone, clock settable, empty registry, no timers, messages, servers or answers.
void SimReset();

// ---- clock and counter ----
uint64_t SimElapsedMs();
void SimSetWallClock(uint64_t fileTime);  // jumps the wall clock only
uint64_t SimWallClock();                  // same as PlatformGetSystemTime
void SimSetCounter(uint64_t value, uint64_t frequency);  // frequency 0: no counter
// Fails every later PlatformSetSystemTime with this error number; 0 lets it succeed.
void SimSetClockFailure(uint32_t error);
int SimClockSetCount();  // successful sets since reset
// Fixed offset east of UTC in minutes, plus an extra offset inside one daylight-saving
// interval [dstStart, dstEnd) of UTC file time.
void SimSetTimeZone(int32_t offsetMinutes, int32_t dstExtraMinutes = 0, uint64_t dstStart = 0,
                    uint64_t dstEnd = 0);
uint32_t SimPriorityClass();     // current class; starts at PRIORITY_CLASS_NORMAL
int SimPriorityChangeCount();

// ---- message queue and timers ----
struct SimMessage {
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};
// Posts a message due after delayMs of virtual time.
void SimPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                    uint64_t delayMs = 0);
// Runs fn(context) when virtual time reaches now + delayMs (in due order with messages).
void SimScheduleCall(uint64_t delayMs, void (*fn)(uintptr_t context), uintptr_t context);
// Advances virtual time to the next due item, at most to elapsed + maxMs. A due call is run at
// once and the search goes on; a due message is returned. False when nothing is due by then
// (time then stands at elapsed + maxMs).
bool SimNextMessage(uint64_t maxMs, SimMessage* message);
bool SimTimerActive(uint32_t id);
uint32_t SimTimerPeriod(uint32_t id);
int SimQueuedMessageCount();

// ---- window services ----
// Answers for the next message boxes, in order; when none is queued a box answers OK.
void SimQueueBoxAnswer(int answer);
int SimBoxCount();
const char* SimLastBoxText();
const char* SimLastBoxCaption();
uint32_t SimLastBoxType();
const char* SimControlText(int controlId);
int SimBroadcastCount();
int SimDestroyCount();
// Called inside PlatformMessageBox before it answers, as the nested message loop of a real box
// would let other messages in. Null for none.
void SimSetBoxHook(void (*hook)());

// ---- registry ----
// Fails the next matching calls with the given error (0 clears). Operations: open, create,
// set, query, delete (value), deletekey.
enum SimRegOp { SIM_REG_OPEN, SIM_REG_CREATE, SIM_REG_SET, SIM_REG_QUERY, SIM_REG_DELETE,
                SIM_REG_DELETE_KEY, SIM_REG_OP_COUNT };
void SimRegFail(SimRegOp op, long error);
bool SimRegKeyExists(const char* path);
// Type and size of a stored value; false when the key or value is missing.
bool SimRegValueInfo(const char* path, const char* name, uint32_t* type, uint32_t* size);
int SimRegOpenKeyCount();  // keys currently open (must be 0 between calls)
void SimSetModuleFileName(const char* path);

// ---- network ----
// What a scripted server at an address does with each connection.
enum SimServerKind {
    SIM_ANSWER,         // accepts, then sends its time as 4 bytes after answerDelayMs
    SIM_REFUSE,         // the connection completes with WSAECONNREFUSED
    SIM_CONNECT_TIMEOUT, // the connection completes with WSAETIMEDOUT after connectDelayMs
    SIM_CLOSE,          // accepts, then closes without sending (reads give 0)
    SIM_SILENT,         // accepts and never sends
    SIM_SPLIT,          // sends its 4 bytes in two pieces: a first read gets 2
    SIM_ZERO,           // answers four zero bytes
    SIM_EIGHT,          // sends its 4 bytes followed by four zero bytes
    SIM_READ_ERROR,     // the readable notice carries an error
};
struct SimServer {
    SimServerKind kind;
    int64_t offsetMs;       // server time minus simulated wall clock, when it answers
    uint32_t connectDelayMs; // until the connection notice
    uint32_t answerDelayMs;  // from the connection to the readable notice
    int64_t fixedSeconds;    // >= 0: answer exactly these 32-bit seconds instead
};
// Address in network byte order, as NetInetAddr returns it.
void SimAddServer(uint32_t address, const SimServer& server);
int SimConnectCount(uint32_t address);
int SimOpenSocketCount();
// A lookup of name finishes after delayMs with error (0: success with address).
void SimAddLookup(const char* name, uint32_t address, int error = 0, uint32_t delayMs = 1);
int SimLookupCount(const char* name);
// Fails the next call of the named socket operation with the error: "socket", "bind",
// "setsockopt", "select", "connect", "lookup" (a lookup that cannot start).
void SimNetFail(const char* operation, int error);
// Simulated address from text, host byte order a.b.c.d, e.g. SimAddress(127, 0, 0, 2).
uint32_t SimAddress(int a, int b, int c, int d);
