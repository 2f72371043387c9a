// The Task Scheduler 2.0: a task in the scheduler's root folder that starts a program at logon.
//
// A task is named by its name in the root folder ("Chronoplex", no backslash) and defined by its
// XML text (Task Scheduler schema 1.2). Texts are zero-terminated in the ANSI code page; the
// platform converts them to UTF-16, so the XML declares no encoding other than UTF-16. Each call
// connects to the scheduler, does its one operation and lets go again: nothing is kept between
// calls, and no call shows anything. Results are 0 on success and otherwise the platform's
// error: a failed HRESULT of COM or the scheduler (a negative number as a long). A system
// without the Task Scheduler 2.0 (before Vista), or where its service is stopped or the caller
// may not use it, fails every call; the caller then has to do without a task.
#pragma once
#include <cstdint>

// The answer of every call where the Task Scheduler 2.0 does not exist at all (its class is not
// registered, REGDB_E_CLASSNOTREG): there can be no task there either.
constexpr long LOGON_TASK_NO_SCHEDULER = -2147221164;

// The group every administrator belongs to, as the principal of a task for all of them.
#define ADMINISTRATORS_SID "S-1-5-32-544"

// Creates the task from its definition, or replaces the definition of a task of that name.
// The definition's principal is a group, ADMINISTRATORS_SID, and the task is registered with
// the group logon type: it runs for whichever member of the group logs on.
long PlatformRegisterLogonTask(const char* name, const char* xml);

// Deletes the task; a task that does not exist counts as deleted (0).
long PlatformDeleteLogonTask(const char* name);

// What a registered task says about itself, as far as the scheduler tells.
constexpr uint32_t LOGON_TASK_TEXT_SIZE = 300;
struct LogonTaskFacts {
    // The program its first action starts, as registered; empty when the scheduler does not
    // give it back (Wine keeps only a task's name).
    char command[LOGON_TASK_TEXT_SIZE];
    // Its principal's group as a SID ("S-1-5-32-544"), empty when it names none.
    char groupSid[LOGON_TASK_TEXT_SIZE];
    bool forUser;    // its principal names a user: a task of one user, not of a group
    bool groupLogon; // registered with the group logon type
    bool highest;    // it runs with the highest privileges available
};
enum LogonTaskPresence { LOGON_TASK_UNKNOWN = -1, LOGON_TASK_ABSENT = 0, LOGON_TASK_PRESENT = 1 };

// Whether the task exists and, when it does, what it is (facts zeroed first). UNKNOWN when the
// scheduler cannot say (missing, stopped, refusing).
LogonTaskPresence PlatformReadLogonTask(const char* name, LogonTaskFacts* facts);
