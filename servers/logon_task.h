// The logon task: a task of the Task Scheduler 2.0 that starts the program hidden ("s") when the
// user who chose a schedule logs on, with that user's highest privileges, so that a program
// which asks for the administrator's rights starts at logon with UAC on as with UAC off. Its
// definition is built here; RegisterAutoStart (servers/settings.h) registers and deletes it.
#pragma once
#include <cstdint>

#define LOGON_TASK_NAME "Chronoplex" // in the scheduler's root folder

// Room for the definition with the longest program path (260 characters) and user name (299)
// that the program passes, every character escaped.
constexpr uint32_t LOGON_TASK_XML_SIZE = 8192;

// Writes the task's definition, Task Scheduler schema 1.2 XML, into out (size bytes, the
// terminating zero included): logon trigger and principal for userName ("DOMAIN\user"), an
// interactive token with the highest privileges available, no time limit, no battery rule, a
// second start while one runs ignored, and one action that starts programPath (a full path)
// with the argument s. Both texts are escaped for XML. False when the definition does not
// fit; out then holds an empty text.
bool BuildLogonTaskXml(char* out, uint32_t size, const char* programPath, const char* userName);

// Registers the task for the user who runs the program, replacing an older definition. False
// when it was not registered: no user name, a definition that does not fit, or the scheduler
// missing or refusing.
bool RegisterLogonTask(const char* programPath);

// Deletes the task; a task that is not there, or a scheduler that is missing or refuses, is
// ignored.
void DeleteLogonTask();
