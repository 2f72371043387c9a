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
uint8_t logonTaskTaken = 0;

// What the window's note says of the automatic start is about the last attempt only.
static void ClearAutoStartNotes() {
    logonTaskRefused = 0;
    programPlaceUnsafe = 0;
    logonTaskTaken = 0;
}

void ResetSettingsGlobals() {
    correctOnLaunch = 0;
    userOffsetMs = 0;
    lastCorrectionValue = 0;
    lastCorrectionTime = 0;
    ClearAutoStartNotes();
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
// only administrators can change it, and then hold keeps that place as it was judged until
// whatever names the file has been written.
struct ProgramPlace {
    char path[PROGRAM_PATH_SIZE];
    char finalPath[PROGRAM_PATH_SIZE];
    bool safe;
    PlaceHold hold;
};

// The place is judged whenever something may be written that names it. Without its own path the
// program has nothing worth writing.
void FindProgramPlace(ProgramPlace* place) {
    memset(place, 0, sizeof *place);
    if (PlatformModuleFileName(place->path, sizeof place->path) == 0) {
        place->path[0] = 0;
        return;
    }
    place->safe =
        PlatformPlaceSafe(place->path, place->finalPath, sizeof place->finalPath, &place->hold);
}

// Who the file that an entry starts is to this program.
enum EntryTarget {
    ENTRY_NONE,        // no entry, or one that names no file
    ENTRY_THIS_FILE,   // this very file, by its path or its final path
    ENTRY_OTHER_SAFE,  // another file, where only administrators can change it
    ENTRY_OTHER_UNSAFE // another file that is missing, or where a standard user can change it
};

// Another file's place is judged by the same rule as this one's, and let go at once: nothing
// is written that names it.
EntryTarget JudgeEntry(const char* program, const ProgramPlace& place) {
    if (program[0] == 0) {
        return ENTRY_NONE;
    }
    if (SamePath(program, place.path) || SamePath(program, place.finalPath)) {
        return ENTRY_THIS_FILE;
    }
    char finalPath[PROGRAM_PATH_SIZE];
    PlaceHold hold;
    const bool safe = PlatformPlaceSafe(program, finalPath, sizeof finalPath, &hold);
    PlatformReleasePlace(&hold);
    if (SamePath(finalPath, place.finalPath)) {
        return ENTRY_THIS_FILE;
    }
    return safe ? ENTRY_OTHER_SAFE : ENTRY_OTHER_UNSAFE;
}

// Whether an entry that names target must go: the file lies where a standard user can change it.
bool EntryUnsafe(EntryTarget target, const ProgramPlace& place) {
    return target == ENTRY_OTHER_UNSAFE || (target == ENTRY_THIS_FILE && !place.safe);
}

// The program of a command as this program writes it, "<path>" and a letter; an unquoted
// command ends its program at the first blank.
void ProgramOfCommand(const char* command, char* program, size_t size) {
    const bool quoted = command[0] == '"';
    const char* start = quoted ? command + 1 : command;
    const char* end = strchr(start, quoted ? '"' : ' ');
    size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
    if (length >= size) {
        length = 0;
    }
    memcpy(program, start, length);
    program[length] = 0;
}

// The program of a text value under an open key; empty when there is none.
void ProgramOfValue(RegKey key, const char* name, char* program, size_t size) {
    char command[PROGRAM_PATH_SIZE + 8] = {};
    uint32_t length = sizeof command - 1;
    program[0] = 0;
    if (PlatformRegQueryValue(key, name, nullptr, command, &length) == PLATFORM_ERROR_SUCCESS) {
        command[sizeof command - 1] = 0;
        ProgramOfCommand(command, program, size);
    }
}

// DELETE_UNLESS_OTHER_SAFE keeps only a value that starts another copy in a safe place.
enum RunValueWish {
    RUN_VALUE_WRITE,
    RUN_VALUE_DELETE,
    RUN_VALUE_DELETE_IF_UNSAFE,
    RUN_VALUE_DELETE_UNLESS_OTHER_SAFE
};

// The Run value as wished; true when a value that should have gone is still there, or may be.
bool SetRunValue(RunValueWish wish, const ProgramPlace& place) {
    RegKey key = 0;
    const long opened = PlatformRegOpenKey(RUN_KEY, &key);
    if (opened != PLATFORM_ERROR_SUCCESS) {
        return wish != RUN_VALUE_WRITE && opened != PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    bool left = false;
    char program[PROGRAM_PATH_SIZE] = {};
    if (wish == RUN_VALUE_DELETE_IF_UNSAFE || wish == RUN_VALUE_DELETE_UNLESS_OTHER_SAFE) {
        ProgramOfValue(key, "Chronoplex", program, sizeof program);
    }
    const EntryTarget target = JudgeEntry(program, place);
    if (wish == RUN_VALUE_WRITE) {
        // The path is quoted because it usually contains blanks ("Program Files"): unquoted,
        // the system would split the command at the first blank and try to start the wrong
        // file.
        char command[PROGRAM_PATH_SIZE + 8];
        snprintf(command, sizeof command, "\"%s\" s", place.finalPath);
        PlatformRegSetValue(key, "Chronoplex", REGISTRY_SZ, command,
                            static_cast<uint32_t>(strlen(command)) + 1);
    } else if (wish == RUN_VALUE_DELETE ||
               (wish == RUN_VALUE_DELETE_IF_UNSAFE ? EntryUnsafe(target, place)
                                                   : target != ENTRY_OTHER_SAFE)) {
        const long deleted = PlatformRegDeleteValue(key, "Chronoplex");
        left = deleted != PLATFORM_ERROR_SUCCESS && deleted != PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    PlatformRegCloseKey(key);
    return left;
}

// A task that starts a file a standard user can change is a way past UAC, whoever registered
// it: this very file from an unsafe place, or another file that is gone or unsafe (a folder
// deleted without the uninstall can be made again by anyone). Another copy's task in a safe
// place is left alone. A task that cannot be read back cannot be judged either.
uint32_t RemoveUnsafeEntries(const ProgramPlace& place) {
    uint32_t left = 0;
    LogonTaskFacts facts;
    if (WaitForTaskRead(LOGON_TASK_NAME, &facts) == LOGON_TASK_PRESENT &&
        EntryUnsafe(JudgeEntry(facts.command, place), place) && !DeleteLogonTask()) {
        left |= AUTO_START_LEFT_TASK;
    }
    if (SetRunValue(RUN_VALUE_DELETE_IF_UNSAFE, place)) {
        left |= AUTO_START_LEFT_RUN_VALUE;
    }
    return left;
}

// Where the logon task is registered, it alone starts the program, with UAC on or off; a Run
// value left from an older version would start a second copy, whose "s" shows the window of
// the first, so it is removed. Where the task is refused (no Task Scheduler 2.0, its service
// stopped, a locked-down system), the Run value stands in as before. Where someone else's task
// holds the name, nothing else is registered: the window says so.
uint32_t EnableAutoStart(const ProgramPlace& place) {
    ClearAutoStartNotes();
    if (place.path[0] == 0) {
        return 0;
    }
    if (!place.safe) {
        programPlaceUnsafe = 1;
        return RemoveUnsafeEntries(place);
    }
    const LogonTaskRegistration task = RegisterLogonTask(place.finalPath);
    if (task == LOGON_TASK_TAKEN) {
        logonTaskTaken = 1;
        return SetRunValue(RUN_VALUE_DELETE_IF_UNSAFE, place) ? AUTO_START_LEFT_RUN_VALUE : 0;
    }
    logonTaskRefused = task == LOGON_TASK_REFUSED;
    return SetRunValue(task == LOGON_TASK_REGISTERED ? RUN_VALUE_DELETE : RUN_VALUE_WRITE, place)
               ? AUTO_START_LEFT_RUN_VALUE
               : 0;
}

// The uninstaller runs its command elevated, deployment tools as SYSTEM without a prompt, so the
// entry names only a file in a safe place, by its final path. From an unsafe place none is
// written, and one is removed only when it names a file that a standard user can change, this
// one included; another copy's entry in a safe place is never replaced.
void UpdateUninstallEntry(const ProgramPlace& place) {
    if (place.path[0] == 0) {
        return;
    }
    RegKey key = 0;
    const bool opened = PlatformRegOpenKey(UNINSTALL_KEY, &key) == PLATFORM_ERROR_SUCCESS;
    char program[PROGRAM_PATH_SIZE] = {};
    if (opened) {
        ProgramOfValue(key, "UninstallString", program, sizeof program);
    }
    const EntryTarget target = JudgeEntry(program, place);
    if (!place.safe || target == ENTRY_OTHER_SAFE) {
        if (opened) {
            PlatformRegCloseKey(key);
        }
        if (EntryUnsafe(target, place)) {
            PlatformRegDeleteKey(UNINSTALL_KEY);
        }
        return;
    }
    if (!opened && PlatformRegCreateKey(UNINSTALL_KEY, &key) != PLATFORM_ERROR_SUCCESS) {
        return;
    }
    char command[PROGRAM_PATH_SIZE + 8];
    snprintf(command, sizeof command, "\"%s\" u", place.finalPath);
    PlatformRegSetValue(key, "DisplayName", REGISTRY_SZ, "Chronoplex", 11);
    PlatformRegSetValue(key, "UninstallString", REGISTRY_SZ, command,
                        static_cast<uint32_t>(strlen(command)) + 1);
    PlatformRegCloseKey(key);
}

} // namespace

void WriteUninstallEntry() {
    ProgramPlace place;
    FindProgramPlace(&place);
    UpdateUninstallEntry(place);
    PlatformReleasePlace(&place.hold);
}

// Giving the schedule up removes the automatic start wherever it points: the task is the
// machine's, as the settings are. Removing never stops the call; what is left is told.
uint32_t RegisterAutoStart(bool enable) {
    uint32_t left = 0;
    ProgramPlace place;
    FindProgramPlace(&place);
    if (enable) {
        left = EnableAutoStart(place);
    } else {
        ClearAutoStartNotes();
        if (!DeleteLogonTask()) {
            left |= AUTO_START_LEFT_TASK;
        }
        if (SetRunValue(RUN_VALUE_DELETE, place)) {
            left |= AUTO_START_LEFT_RUN_VALUE;
        }
    }
    UpdateUninstallEntry(place);
    PlatformReleasePlace(&place.hold);
    return left;
}

// A task that is already right is left as it is (the registration reads it first), so a second
// administrator who merely starts the program takes nothing from the first, and a start from
// an unsafe place cannot move the task there. Where the scheduler keeps only the name, its
// existence has to do. A Run value beside a current task would start a second copy. Without a
// schedule, only what starts a file that a standard user can change is removed.
void CheckAutoStart(bool scheduled) {
    ProgramPlace place;
    FindProgramPlace(&place);
    if (place.path[0] == 0) {
        return;
    }
    if (scheduled) {
        EnableAutoStart(place);
    } else {
        RemoveUnsafeEntries(place);
    }
    PlatformReleasePlace(&place.hold);
}

// A task whose command cannot be read (the scheduler refusing, or Wine, which keeps only the
// name) cannot be told from ours, and goes as the uninstall always removed it.
uint32_t RemoveEntriesOfThisFile() {
    ClearAutoStartNotes();
    ProgramPlace place;
    FindProgramPlace(&place);
    uint32_t left = 0;
    LogonTaskFacts facts;
    const LogonTaskPresence task = WaitForTaskRead(LOGON_TASK_NAME, &facts);
    if (task != LOGON_TASK_ABSENT &&
        (task == LOGON_TASK_UNKNOWN || JudgeEntry(facts.command, place) != ENTRY_OTHER_SAFE) &&
        !DeleteLogonTask()) {
        left |= AUTO_START_LEFT_TASK;
    }
    if (SetRunValue(RUN_VALUE_DELETE_UNLESS_OTHER_SAFE, place)) {
        left |= AUTO_START_LEFT_RUN_VALUE;
    }
    RegKey key = 0;
    char program[PROGRAM_PATH_SIZE] = {};
    if (PlatformRegOpenKey(UNINSTALL_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        ProgramOfValue(key, "UninstallString", program, sizeof program);
        PlatformRegCloseKey(key);
        if (JudgeEntry(program, place) != ENTRY_OTHER_SAFE) {
            PlatformRegDeleteKey(UNINSTALL_KEY);
        }
    }
    PlatformReleasePlace(&place.hold);
    return left;
}
