#include "servers/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/logon_task.h"
#include "platform/program_place.h"
#include "platform/registry.h"
#include "servers/logon_task.h"
#include "servers/waits.h"
#include "time/fatal.h"

uint8_t correctOnLaunch = 0;
int64_t userOffsetMs = 0;
int64_t lastCorrectionValue = 0;
Ms1900 lastCorrectionTime = 0;
uint8_t logonTaskRefused = 0;
uint8_t programPlaceUnsafe = 0;

void ResetSettingsGlobals() {
    correctOnLaunch = 0;
    userOffsetMs = 0;
    lastCorrectionValue = 0;
    lastCorrectionTime = 0;
    logonTaskRefused = 0;
    programPlaceUnsafe = 0;
}

static const char REGISTRY_PROBLEM[] = "Registry Problem";
// The platform's limit for the program's path, 260 characters, and the zero.
constexpr uint32_t PROGRAM_PATH_SIZE = 261;

void WriteSetting(const char* valueName, const void* data, uint32_t size) {
    RegKey key = 0;
    if (PlatformRegOpenKey(SETTINGS_KEY, &key) != PLATFORM_ERROR_SUCCESS &&
        PlatformRegCreateKey(SETTINGS_KEY, &key) != PLATFORM_ERROR_SUCCESS) {
        FatalError(REGISTRY_PROBLEM);
        return;
    }
    long result;
    if (data != nullptr && size != 0) {
        const uint32_t type = size == 4 ? REGISTRY_DWORD : REGISTRY_BINARY;
        result = PlatformRegSetValue(key, valueName, type, data, size);
    } else {
        // Deleting what is not there is how a free slot is saved, so that is no error.
        result = PlatformRegDeleteValue(key, valueName);
        if (result == PLATFORM_ERROR_FILE_NOT_FOUND) {
            result = PLATFORM_ERROR_SUCCESS;
        }
    }
    PlatformRegCloseKey(key);
    if (result != PLATFORM_ERROR_SUCCESS) {
        FatalError(REGISTRY_PROBLEM);
    }
}

// The size is asked for first so that a value too big for the caller's variable is turned
// away before any of its bytes land there: the platform's own "more data" answer may leave
// the buffer partly written. Its size is still told: to the version check at start-up, a
// value too big to be this version's is another version's, not a first start.
bool ReadSetting(const char* valueName, void* buffer, uint32_t bufferSize, uint32_t* storedSize,
                 uint32_t* storedType) {
    uint32_t size = 0;
    uint32_t type = 0;
    bool read = false;
    RegKey key = 0;
    if (PlatformRegOpenKey(SETTINGS_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        if (PlatformRegQueryValue(key, valueName, &type, nullptr, &size) !=
            PLATFORM_ERROR_SUCCESS) {
            size = 0;
            type = 0;
        } else if (size <= bufferSize) {
            read = PlatformRegQueryValue(key, valueName, nullptr, buffer, &size) ==
                   PLATFORM_ERROR_SUCCESS;
        }
        PlatformRegCloseKey(key);
    }
    if (storedSize != nullptr) {
        *storedSize = size;
    }
    if (storedType != nullptr) {
        *storedType = type;
    }
    return read;
}

bool ReadDwordSetting(const char* valueName, uint32_t* value) {
    uint8_t bytes[4];
    uint32_t size = 0;
    uint32_t type = 0;
    if (!ReadSetting(valueName, bytes, sizeof bytes, &size, &type) || size != sizeof bytes ||
        type != REGISTRY_DWORD) {
        return false;
    }
    *value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
             uint32_t{bytes[3]} << 24;
    return true;
}

uint32_t ReadSampleSpacing() {
    uint32_t spacing = 0;
    if (!ReadDwordSetting("SampleSpacing", &spacing)) {
        return DEFAULT_SAMPLE_SPACING_MS;
    }
    return spacing < MAX_SAMPLE_SPACING_MS ? spacing : MAX_SAMPLE_SPACING_MS;
}

bool ReadWholeSecondEstimate() {
    uint32_t value = 0;
    return ReadDwordSetting("WholeSecondEstimate", &value) && value == 1;
}

namespace {

// The program file as it was started and as its final path; safe tells whether it lies where
// only administrators can change it.
struct ProgramPlace {
    char path[PROGRAM_PATH_SIZE];
    char finalPath[PROGRAM_PATH_SIZE];
    bool safe;
};

// The program's own path alone, not yet judged; an empty path when the platform gives none.
ProgramPlace OwnPath() {
    ProgramPlace place = {};
    if (PlatformModuleFileName(place.path, sizeof place.path) == 0) {
        place.path[0] = 0;
    }
    return place;
}

ProgramPlace FindProgramPlace() {
    ProgramPlace place = OwnPath();
    if (place.path[0] != 0) {
        place.safe = PlatformProgramPlaceSafe(place.finalPath, sizeof place.finalPath);
    }
    return place;
}

bool StartsThisFile(const char* program, const ProgramPlace& place) {
    return SamePath(program, place.path) || SamePath(program, place.finalPath);
}

// The program of a Run value written as this program writes it: the quoted path before " s".
bool RunValueStartsThisFile(RegKey key, const ProgramPlace& place) {
    char command[PROGRAM_PATH_SIZE + 8] = {};
    uint32_t size = sizeof command - 1;
    if (PlatformRegQueryValue(key, "Chronoplex", nullptr, command, &size) !=
        PLATFORM_ERROR_SUCCESS) {
        return false;
    }
    command[sizeof command - 1] = 0;
    char* start = command[0] == '"' ? command + 1 : command;
    char* end = strchr(start, command[0] == '"' ? '"' : ' ');
    if (end != nullptr) {
        *end = 0;
    }
    return StartsThisFile(start, place);
}

enum RunValueWish { RUN_VALUE_WRITE, RUN_VALUE_DELETE, RUN_VALUE_DELETE_IF_HERE };

// The Run value as wished; true when a value that should have gone is still there, or may be.
bool SetRunValue(RunValueWish wish, const ProgramPlace& place) {
    RegKey key = 0;
    const long opened = PlatformRegOpenKey(RUN_KEY, &key);
    if (opened != PLATFORM_ERROR_SUCCESS) {
        return wish != RUN_VALUE_WRITE && opened != PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    bool left = false;
    if (wish == RUN_VALUE_WRITE) {
        // The path is quoted because it usually contains blanks ("Program Files"): unquoted,
        // the system would split the command at the first blank and try to start the wrong
        // file.
        char command[PROGRAM_PATH_SIZE + 8];
        snprintf(command, sizeof command, "\"%s\" s", place.finalPath);
        PlatformRegSetValue(key, "Chronoplex", REGISTRY_SZ, command,
                            static_cast<uint32_t>(strlen(command)) + 1);
    } else if (wish == RUN_VALUE_DELETE || RunValueStartsThisFile(key, place)) {
        const long deleted = PlatformRegDeleteValue(key, "Chronoplex");
        left = deleted != PLATFORM_ERROR_SUCCESS && deleted != PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    PlatformRegCloseKey(key);
    return left;
}

// Where the place is unsafe, an elevated start of this very file is a way past UAC, whoever
// registered it; an automatic start of another copy is left alone, for that copy's place was
// judged when it was chosen. A task that cannot be read back cannot be judged either.
uint32_t RemoveAutoStartOfThisFile(const ProgramPlace& place) {
    uint32_t left = 0;
    LogonTaskFacts facts;
    if (WaitForTaskRead(LOGON_TASK_NAME, &facts) == LOGON_TASK_PRESENT &&
        StartsThisFile(facts.command, place) && !DeleteLogonTask()) {
        left |= AUTO_START_LEFT_TASK;
    }
    if (SetRunValue(RUN_VALUE_DELETE_IF_HERE, place)) {
        left |= AUTO_START_LEFT_RUN_VALUE;
    }
    return left;
}

// Where the logon task is registered, it alone starts the program, with UAC on or off; a Run
// value left from an older version would start a second copy, whose "s" shows the window of
// the first, so it is removed. Where the task is refused (no Task Scheduler 2.0, its service
// stopped, a locked-down system), the Run value stands in as before.
uint32_t EnableAutoStart(const ProgramPlace& place) {
    logonTaskRefused = 0;
    programPlaceUnsafe = 0;
    if (place.path[0] == 0) {
        return 0;
    }
    if (!place.safe) {
        programPlaceUnsafe = 1;
        return RemoveAutoStartOfThisFile(place);
    }
    const bool taskRegistered = RegisterLogonTask(place.finalPath);
    logonTaskRefused = !taskRegistered;
    return SetRunValue(taskRegistered ? RUN_VALUE_DELETE : RUN_VALUE_WRITE, place)
               ? AUTO_START_LEFT_RUN_VALUE
               : 0;
}

// Without its own path the program has no uninstall command worth writing.
void WriteUninstallCommand(const ProgramPlace& place) {
    if (place.path[0] == 0) {
        return;
    }
    RegKey key = 0;
    if (PlatformRegOpenKey(UNINSTALL_KEY, &key) != PLATFORM_ERROR_SUCCESS &&
        PlatformRegCreateKey(UNINSTALL_KEY, &key) != PLATFORM_ERROR_SUCCESS) {
        return;
    }
    char command[PROGRAM_PATH_SIZE + 8];
    snprintf(command, sizeof command, "\"%s\" u", place.path);
    PlatformRegSetValue(key, "DisplayName", REGISTRY_SZ, "Chronoplex", 11);
    PlatformRegSetValue(key, "UninstallString", REGISTRY_SZ, command,
                        static_cast<uint32_t>(strlen(command)) + 1);
    PlatformRegCloseKey(key);
}

} // namespace

void WriteUninstallEntry() {
    WriteUninstallCommand(OwnPath());
}

// Giving the schedule up removes the automatic start wherever it points: the task is the
// machine's, as the settings are. Removing never stops the call: the uninstall goes on
// whatever the scheduler says, and is told what is left.
uint32_t RegisterAutoStart(bool enable) {
    uint32_t left = 0;
    const ProgramPlace place = enable ? FindProgramPlace() : OwnPath();
    if (enable) {
        left = EnableAutoStart(place);
    } else {
        logonTaskRefused = 0;
        programPlaceUnsafe = 0;
        if (!DeleteLogonTask()) {
            left |= AUTO_START_LEFT_TASK;
        }
        if (SetRunValue(RUN_VALUE_DELETE, place)) {
            left |= AUTO_START_LEFT_RUN_VALUE;
        }
    }
    WriteUninstallCommand(place);
    return left;
}

// Only the check runs here, no registration: a task that is already right is left as it is,
// so a second administrator who merely starts the program takes nothing from the first, and
// a start from an unsafe place cannot move the task there. Where the scheduler keeps only the
// name, its existence has to do. A Run value beside a current task would start a second copy.
void CheckAutoStart() {
    const ProgramPlace place = FindProgramPlace();
    if (place.path[0] == 0) {
        return;
    }
    if (place.safe) {
        LogonTaskFacts facts;
        if (WaitForTaskRead(LOGON_TASK_NAME, &facts) == LOGON_TASK_PRESENT &&
            LogonTaskCurrent(facts, place.finalPath)) {
            logonTaskRefused = 0;
            programPlaceUnsafe = 0;
            SetRunValue(RUN_VALUE_DELETE, place);
            return;
        }
    }
    EnableAutoStart(place);
}
