// Faults on demand for the end-to-end suite, linked only into chronoplex_faults.exe, a test
// build of the program: the release program contains none of this. Wine neither refuses a
// clock setting of under half a second nor lets a registry value be made unwritable, so these
// stand between the program and the real platform calls, which the build renames to Real*.
//
//   CHRONOPLEX_FAULT_CLOCK=N       every setting of the clock fails with error N (1314: no
//                                  privilege; anything else: some other failure)
//   CHRONOPLEX_FAULT_VALUE=NAME    every store or delete of the settings value NAME fails
//                                  with ERROR_ACCESS_DENIED
//   CHRONOPLEX_FAULT_TASK=N        every registration and deletion of the logon task fails
//                                  with error N, not 0 (decimal, or hex as 0x80070422: the
//                                  Task Scheduler's service is disabled), and reading it back
//                                  gets no answer
//   CHRONOPLEX_FAULT_SAFE_PLACE=1  the program's place counts as safe. Wine shows every file
//                                  as the user's own and keeps no permissions set on it, so
//                                  no place is safe there; the scenarios that need a
//                                  registered task ask for this
//   CHRONOPLEX_FAULT_SAFE_OTHER=P  the place of the file P (a full path, found or not) counts
//                                  as safe: another copy's, named by an entry
//   CHRONOPLEX_FAULT_SAFE_INSTALL=1  the install folder, and only it, counts as safe: the
//                                  folder, the copy installed there (when it is there) and,
//                                  since the installed copy inherits the variable, that
//                                  copy's own place
//
// Several faults are given as several variables.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/install.h"
#include "platform/logon_task.h"
#include "platform/program_place.h"
#include "platform/registry.h"

bool RealPlatformSetSystemTime(const CivilTime& utc);
long RealPlatformRegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                             uint32_t size);
long RealPlatformRegDeleteValue(RegKey key, const char* name);
long RealPlatformRegisterLogonTask(const char* name, const char* xml);
long RealPlatformDeleteLogonTask(const char* name);
LogonTaskPresence RealPlatformReadLogonTask(const char* name, LogonTaskFacts* facts);
bool RealPlatformPlaceSafe(const char* path, char* finalPath, uint32_t size, PlaceHold* hold);
bool RealPlatformInstallPlaceSafe(const char* path, bool isFolder);

static const char* Fault(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != 0 ? value : nullptr;
}

static bool ValueRefused(const char* valueName) {
    const char* refused = Fault("CHRONOPLEX_FAULT_VALUE");
    return refused != nullptr && valueName != nullptr && strcmp(refused, valueName) == 0;
}

bool PlatformSetSystemTime(const CivilTime& utc) {
    if (const char* error = Fault("CHRONOPLEX_FAULT_CLOCK")) {
        SetLastError(static_cast<DWORD>(strtoul(error, nullptr, 10)));
        return false;
    }
    return RealPlatformSetSystemTime(utc);
}

long PlatformRegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size) {
    return ValueRefused(name) ? PLATFORM_ERROR_ACCESS_DENIED
                              : RealPlatformRegSetValue(key, name, type, data, size);
}

long PlatformRegDeleteValue(RegKey key, const char* name) {
    return ValueRefused(name) ? PLATFORM_ERROR_ACCESS_DENIED
                              : RealPlatformRegDeleteValue(key, name);
}

// The error as the platform returns it: an HRESULT such as 0x80070422 is negative in a long.
static long TaskFault() {
    const char* error = Fault("CHRONOPLEX_FAULT_TASK");
    return error != nullptr ? static_cast<long>(strtoul(error, nullptr, 0)) : 0;
}

long PlatformRegisterLogonTask(const char* name, const char* xml) {
    const long fault = TaskFault();
    return fault != 0 ? fault : RealPlatformRegisterLogonTask(name, xml);
}

long PlatformDeleteLogonTask(const char* name) {
    const long fault = TaskFault();
    return fault != 0 ? fault : RealPlatformDeleteLogonTask(name);
}

LogonTaskPresence PlatformReadLogonTask(const char* name, LogonTaskFacts* facts) {
    if (TaskFault() != 0) {
        memset(facts, 0, sizeof *facts);
        return LOGON_TASK_UNKNOWN;
    }
    return RealPlatformReadLogonTask(name, facts);
}

// The install folder itself, or a file directly in it that is there.
static bool InInstallFolder(const char* path) {
    char folder[INSTALL_PATH_SIZE];
    if (Fault("CHRONOPLEX_FAULT_SAFE_INSTALL") == nullptr ||
        !PlatformInstallFolder(folder, sizeof folder)) {
        return false;
    }
    const size_t length = strlen(folder);
    return _strnicmp(path, folder, length) == 0 &&
           (path[length] == 0 ||
            (path[length] == '\\' && strchr(path + length + 1, '\\') == nullptr)) &&
           GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool PlatformInstallPlaceSafe(const char* path, bool isFolder) {
    return RealPlatformInstallPlaceSafe(path, isFolder) || InInstallFolder(path);
}

static bool SamePathText(const char* a, const char* b) {
    return a != nullptr && b != nullptr && lstrcmpiA(a, b) == 0;
}

// The final path as the real check finds it, or else the path as given; a place declared safe
// holds nothing.
bool PlatformPlaceSafe(const char* path, char* finalPath, uint32_t size, PlaceHold* hold) {
    const bool safe = RealPlatformPlaceSafe(path, finalPath, size, hold);
    char module[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    const bool own = length != 0 && length < sizeof module && SamePathText(path, module);
    const bool declared = (own && Fault("CHRONOPLEX_FAULT_SAFE_PLACE") != nullptr) ||
                          SamePathText(path, Fault("CHRONOPLEX_FAULT_SAFE_OTHER")) ||
                          InInstallFolder(path);
    if (!declared) {
        return safe;
    }
    if (finalPath[0] == 0) {
        if (strlen(path) >= size) {
            return false;
        }
        strcpy(finalPath, path);
    }
    return true;
}
