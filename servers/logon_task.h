// The logon task: a task of the Task Scheduler 2.0 that starts the program hidden ("s") when any
// administrator logs on, with the highest privileges, so that a program which asks for the
// administrator's rights starts at logon with UAC on as with UAC off. One task serves the
// machine, as the settings do: it names the group Administrators, never one user, and is
// written only when a schedule is chosen or found missing or stale. Its definition is built
// here; RegisterAutoStart (servers/settings.h) decides when it is registered or deleted.
#pragma once
#include <cstdint>

#include "platform/logon_task.h"

#define LOGON_TASK_NAME "Chronoplex" // in the scheduler's root folder

// Room for the definition with the longest program path (260 characters), every character
// escaped.
constexpr uint32_t LOGON_TASK_XML_SIZE = 4096;

// Writes the task's definition, Task Scheduler schema 1.2 XML, into out (size bytes, the
// terminating zero included): a logon trigger without a user (any member of the principal's
// group), the principal group Administrators with the highest privileges available, no time
// limit, no battery rule, a second start while one runs ignored, and one action that starts
// programPath (a full path, escaped for XML) with the argument s. False when the definition
// does not fit; out then holds an empty text.
bool BuildLogonTaskXml(char* out, uint32_t size, const char* programPath);

// Registers the task for programPath anew: whatever task stands under the name is deleted
// first, and ours is created, never updated, so that a task someone else made under our name
// keeps neither its definition nor its permissions.
enum LogonTaskRegistration {
    LOGON_TASK_REGISTERED,
    LOGON_TASK_REFUSED, // a definition that does not fit, or the scheduler missing or refusing
    LOGON_TASK_TAKEN,   // the name is taken and the task under it would not go, or came back
};
LogonTaskRegistration RegisterLogonTask(const char* programPath);

// Deletes the task. True when no task is left: deleted, not there, or no Task Scheduler 2.0 on
// this system; false when the scheduler is there but refused.
bool DeleteLogonTask();

// Two paths of one file, as Windows compares them: without regard to case. Empty paths never
// match.
bool SamePath(const char* a, const char* b);

// A task read back is current when it is ours as registered now: one action, which starts
// programPath with the argument s, for the group Administrators with the highest privileges,
// and permissions that let nobody but SYSTEM and Administrators change it. Where the
// scheduler gave back nothing at all (Wine keeps only a task's name), its existence is all that
// can be judged, and it counts as current; anything read that is not ours makes it stale.
bool LogonTaskCurrent(const LogonTaskFacts& facts, const char* programPath);
