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

// The answer of a registration where a task of that name exists already.
constexpr long LOGON_TASK_EXISTS = -2147024713; // ERROR_ALREADY_EXISTS as an HRESULT

// Creates the task from its definition; never replaces a task of that name (LOGON_TASK_EXISTS).
// The definition's principal is a group, ADMINISTRATORS_SID, and the task is registered with
// the group logon type: it runs for whichever member of the group logs on. Its permissions
// grant SYSTEM and Administrators alone, and Administrators own it.
long PlatformRegisterLogonTask(const char* name, const char* xml);

// Deletes the task; a task that does not exist counts as deleted (0).
long PlatformDeleteLogonTask(const char* name);

// What a registered task says about itself, as far as the scheduler tells.
constexpr uint32_t LOGON_TASK_TEXT_SIZE = 300;
struct LogonTaskFacts {
    // The program its first action starts and that action's arguments, as registered; empty
    // when the first action starts no program or the scheduler does not give it back (Wine
    // keeps only a task's name).
    char command[LOGON_TASK_TEXT_SIZE];
    char arguments[LOGON_TASK_TEXT_SIZE];
    uint32_t actions; // how many actions it has, as far as they could be read
    bool firstIsExec; // its first action starts a program
    // Its principal's group as a SID ("S-1-5-32-544"), empty when it names none.
    char groupSid[LOGON_TASK_TEXT_SIZE];
    bool forUser;    // its principal names a user: a task of one user, not of a group
    bool groupLogon; // registered with the group logon type
    bool highest;    // it runs with the highest privileges available
    // Its permissions were read, and they let someone other than SYSTEM and Administrators
    // change or delete it, or someone else owns it.
    bool permissionsRead;
    bool othersMayChange;
};
enum LogonTaskPresence { LOGON_TASK_UNKNOWN = -1, LOGON_TASK_ABSENT = 0, LOGON_TASK_PRESENT = 1 };

// Whether the task exists and, when it does, what it is (facts zeroed first). UNKNOWN when the
// scheduler cannot say (missing, stopped, refusing).
LogonTaskPresence PlatformReadLogonTask(const char* name, LogonTaskFacts* facts);
