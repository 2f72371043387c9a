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

// Creates the task from its definition, or replaces the definition of a task of that name.
// The task runs as the user and with the logon type its definition's principal names.
long PlatformRegisterLogonTask(const char* name, const char* xml);

// Deletes the task; a task that does not exist counts as deleted (0).
long PlatformDeleteLogonTask(const char* name);

// True when a task of that name exists; false when it does not or the scheduler cannot say.
bool PlatformLogonTaskExists(const char* name);

// The user who runs this program, as "DOMAIN\user" (the form a task's principal and logon
// trigger name a user by); where the platform cannot give that form, the plain user name. At
// most size - 1 characters and a terminating zero are written; a name that does not fit is a
// failure, not a cut: false and an empty text.
bool PlatformCurrentUserName(char* out, uint32_t size);
