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
// UTC time zone, clock settable, empty registry, no logon tasks, no timers, messages, servers or
// answers.
void SimReset();

// ---- clock and counter ----
uint64_t SimElapsedMs();
void SimSetWallClock(uint64_t fileTime); // jumps the wall clock
uint64_t SimWallClock();                 // same as PlatformGetSystemTime
// The time of the world outside: the wall clock less whatever the program's own settings of
// the clock moved it by. Simulated servers keep this time, so a corrected clock agrees with
// them afterwards; SimSetWallClock moves both.
uint64_t SimTrueClock();
void SimSetCounter(uint64_t value, uint64_t frequency); // frequency 0: no counter
// The next reads of the wall clock each hold the thread for ms of virtual time after reading,
// as a busy machine may between two calls.
void SimHoldAfterClockReads(int reads, uint32_t ms);
// Fails every later PlatformSetSystemTime with this error number; 0 lets it succeed.
void SimSetClockFailure(uint32_t error);
int SimClockSetCount(); // successful sets since reset
// Fixed offset east of UTC in minutes, plus an extra offset while the wall clock is inside one
// daylight-saving interval [dstStart, dstEnd) of UTC file time.
void SimSetTimeZone(int32_t offsetMinutes, int32_t dstExtraMinutes = 0, uint64_t dstStart = 0,
                    uint64_t dstEnd = 0);
uint32_t SimPriorityClass(); // current class; starts at PRIORITY_CLASS_NORMAL
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
// Whether fine timers are asked for now, and how many times they were asked for since reset.
bool SimFineTimers();
int SimFineTimerRequests();
uint32_t SimTimerPeriod(uint32_t id);
int SimQueuedMessageCount();
// Fails the next count of PlatformPostMessage calls, as a full message queue does.
void SimFailPosts(int count);

// ---- window services ----
// Answers for the next message boxes, in order; when none is queued a box answers OK.
void SimQueueBoxAnswer(int answer);
int SimBoxCount();
const char* SimLastBoxText();
const char* SimLastBoxCaption();
uint32_t SimLastBoxType();
uint32_t SimLastMenuLife(); // the time the last menu was given to stay open, in ms
int SimBroadcastCount();    // announcements of a new time; none of them waits
int SimDestroyCount();
// Top-level dialogs of other processes, at most 4, in the order added: the process's integrity
// level, or that it cannot be opened to ask.
enum SimElevation { SIM_BELOW_HIGH, SIM_HIGH, SIM_CANNOT_OPEN };
WindowHandle SimAddDialog(const char* title, int32_t control, SimElevation elevation);
// A system without integrity levels (before Vista).
void SimNoIntegrityLevels(bool none);
// The platform's calls that wait (platform/window.h, platform/logon_task.h). Each calls its
// hook while it waits, as the real call lets other messages in meanwhile: a hook stands for
// what arrives then. Null for none.
enum SimWait {
    SIM_WAIT_BOX,
    SIM_WAIT_MENU,
    SIM_WAIT_TRAY,
    SIM_WAIT_SEND,
    SIM_WAIT_TASK, // every call into the Task Scheduler
    SIM_WAIT_COUNT
};
void SimSetWaitHook(SimWait wait, void (*hook)());
int SimWaitCount(SimWait wait); // calls since reset
// PlatformCloseBoxesAndMenus calls since reset; a box open then answers ANSWER_CANCEL.
int SimCloseWaitsCount();
// A window destroyed by PlatformDestroyWindow is gone: any later call that names it is a fault
// of the program, reported to this handler (by default: a message and abort()).
void SimSetMisuseHandler(void (*handler)(const char* what));

// ---- registry ----
// HKEY_LOCAL_MACHINE starts with the Run and Uninstall keys of a real system and nothing else;
// the program's path is "C:\\Program Files\\Chronoplex\\chronoplex.exe".
// Fails matching calls with the given error: the next count of them, or all until cleared
// when count is negative; an error of 0 clears. Operations: open, create, set, query,
// delete (value), deletekey.
enum SimRegOp {
    SIM_REG_OPEN,
    SIM_REG_CREATE,
    SIM_REG_SET,
    SIM_REG_QUERY,
    SIM_REG_DELETE,
    SIM_REG_DELETE_KEY,
    SIM_REG_OP_COUNT
};
void SimRegFail(SimRegOp op, long error, int count = -1);
bool SimRegKeyExists(const char* path);
// Type and size of a stored value; false when the key or value is missing.
bool SimRegValueInfo(const char* path, const char* name, uint32_t* type, uint32_t* size);
// The stored bytes of a value, or null when the key or value is missing.
const uint8_t* SimRegValueData(const char* path, const char* name);
int SimRegOpenKeyCount(); // keys currently open (must be 0 between calls)
// Null makes the platform fail to give the path.
void SimSetModuleFileName(const char* path);
// Puts the registry alone back to its initial state.
void SimResetRegistry();

// ---- Task Scheduler ----
// The root folder starts without tasks. Registering stores the task's name and definition
// with the group logon type and permissions for SYSTEM and Administrators alone, and fails
// with LOGON_TASK_EXISTS where a task of that name is there; deleting a task that is not there
// succeeds, as on the platform. Reading a task gives back what its definition says.
enum SimTaskOp { SIM_TASK_REGISTER, SIM_TASK_DELETE, SIM_TASK_READ, SIM_TASK_OP_COUNT };
// Fails every later call of the operation with error (a failed HRESULT; a failed read answers
// that the scheduler cannot say); 0 clears.
void SimLogonTaskFail(SimTaskOp op, long error);
// The stored definition of the named task, or null when there is none.
const char* SimLogonTaskXml(const char* name);
int SimLogonTaskCount(); // tasks in the root folder
// Puts a task there as someone else would: with permissions that let others change it
// (foreign), and one whose deletion is refused with access denied (undeletable).
void SimPutLogonTask(const char* name, const char* xml, bool foreign, bool undeletable);
// True when the named task was registered with the group logon type.
bool SimLogonTaskGroupLogon(const char* name);
// As Wine's scheduler: a task read back gives its existence and nothing of its definition.
void SimLogonTaskNameOnly(bool nameOnly);
// Calls into the Task Scheduler since reset: registrations, deletions and reads.
int SimLogonTaskCallCount();

// ---- places of program files ----
// Whether the place of a file is safe (platform/program_place.h), and its final path. The
// program's own file starts safe, with its own path as its final path; any other file is
// missing until it is given a place here (at most 8 of them). A null final path is the path
// itself.
enum SimPlace { SIM_PLACE_MISSING, SIM_PLACE_SAFE, SIM_PLACE_UNSAFE };
void SimSetPlace(const char* path, SimPlace place, const char* finalPath = nullptr);
void SimSetProgramPlace(bool safe, const char* finalPath = nullptr); // the program's own file
// Places judged safe and not yet released: what the platform would hold open.
int SimPlacesHeld();

// ---- network ----
// Scripted time servers and name lookups. Every outcome reaches the logic as a message posted
// on the virtual clock to the window that asked for it, handled one at a time like the
// platform's asynchronous notices:
//   lookup done:  wParam = the task, lParam = error << 16
//   socket event: wParam = the socket, lParam = (error << 16) | NET_FD_CONNECT or NET_FD_READ
// Socket handles are reused as soon as they are closed, as the platform's are, so a notice
// still queued for a closed socket may carry the handle of a newer one. While unread bytes
// remain after a read, another readable notice follows, as on the platform.
// Servers listen on port 37 only; other ports refuse. A connection to an address without a
// server fails with WSAETIMEDOUT after SIM_NO_SERVER_TIMEOUT_MS; a lookup of a name without an
// entry fails with WSAHOST_NOT_FOUND after 1 ms.
constexpr uint32_t SIM_NO_SERVER_TIMEOUT_MS = 21000;

// What a scripted server at an address does with each connection.
enum SimServerKind {
    SIM_ANSWER,          // accepts, then sends its time as 4 bytes after answerDelayMs
    SIM_REFUSE,          // the connection completes with WSAECONNREFUSED
    SIM_CONNECT_TIMEOUT, // the connection completes with WSAETIMEDOUT
    SIM_CLOSE,           // accepts, then closes without sending: a close notice, reads give 0
    SIM_SILENT,          // accepts and never sends
    SIM_SPLIT,           // sends its 4 bytes in two pieces 1 ms apart: a first read gets 2
    SIM_ZERO,            // answers four zero bytes
    SIM_EIGHT,           // sends its 4 bytes followed by four zero bytes
    SIM_READ_ERROR,      // the readable notice carries WSAECONNABORTED
    SIM_ANSWER_CLOSE,    // sends its 4 bytes and closes; the close notice comes first
};
// The connection notice comes connectDelayMs after the connect call (for every kind); the
// answer, close or read error answerDelayMs after that. The answer is the server's time at the
// moment it sends: the simulated wall clock plus offsetMs, in whole seconds since 1900, modulo
// 2^32 as the protocol carries it.
struct SimServer {
    SimServerKind kind;
    int64_t offsetMs;        // server time minus simulated wall clock
    uint32_t connectDelayMs; // from the connect call to the connection notice
    uint32_t answerDelayMs;  // from the connection notice to the answer
    int64_t fixedSeconds;    // >= 0: answer these seconds (low 32 bits) instead
};
// Address in network byte order, as NetInetAddr returns it; a second call replaces the first.
void SimAddServer(uint32_t address, const SimServer& server);
int SimConnectCount(uint32_t address); // connect calls to the address since reset
// The virtual time of the address's connect call k (of the first 32), or UINT64_MAX.
uint64_t SimConnectTime(uint32_t address, int k);
int SimOpenSocketCount();
// A lookup of name finishes after delayMs with error (0: success with address).
void SimAddLookup(const char* name, uint32_t address, int error = 0, uint32_t delayMs = 1);
int SimLookupCount(const char* name); // lookups of the name started since reset
int SimPendingLookupCount();          // started, neither finished nor cancelled
// Fails the next call of the named socket operation with the error: "socket", "bind",
// "setsockopt", "select", "connect", "lookup" (a lookup that cannot start).
void SimNetFail(const char* operation, int error);
// The address a.b.c.d in network byte order (a first in memory), as NetInetAddr gives it.
uint32_t SimAddress(int a, int b, int c, int d);

// ---- install (platform/install.h) ----
// The folder "C:\\Program Files\\Chronoplex", absent at first, with its installed file and
// its temporary one. The judge finds the folder safe by folderSafe, the file by fileSafe and
// by its owner, which must be Administrators (an inherited CREATOR OWNER entry gives the owner
// full control). What is created is owned by the owner asked for, or else by the creator:
// Administrators while User Account Control is on, the administrator's own account while it is
// off. Nothing fails unless a test says so.
struct SimInstallState {
    bool ownFileHeld; // PlatformHoldOwnFile was called
    bool uacOff;
    bool folderExists, folderSafe, fileExists, fileSafe, tempExists;
    char folderOwner[32], fileOwner[32], tempOwner[32];
    uint64_t fileVersion; // this program's is 2.1.0.0
    bool copyFails, renameFails;
    bool held;  // the installed place is held by the judge
    int starts; // started, and held before their first instruction until resumed
    int resumes;
    bool heldAtResume;    // the place was still held when the start was let go
    char started[261];    // the file started, and its current directory
    char pending[4][261]; // registered for removal at restart, in order
    int pendingCount;
};
SimInstallState* SimInstall();
