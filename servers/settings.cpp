#include "servers/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "servers/logon_task.h"
#include "time/fatal.h"

uint8_t correctOnLaunch = 0;
int64_t userOffsetMs = 0;
int64_t lastCorrectionValue = 0;
Ms1900 lastCorrectionTime = 0;
uint8_t logonTaskRefused = 0;

void ResetSettingsGlobals() {
    correctOnLaunch = 0;
    userOffsetMs = 0;
    lastCorrectionValue = 0;
    lastCorrectionTime = 0;
    logonTaskRefused = 0;
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
bool ReadSetting(const char* valueName, void* buffer, uint32_t bufferSize, uint32_t* storedSize) {
    uint32_t size = 0;
    bool read = false;
    RegKey key = 0;
    if (PlatformRegOpenKey(SETTINGS_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        if (PlatformRegQueryValue(key, valueName, nullptr, nullptr, &size) !=
            PLATFORM_ERROR_SUCCESS) {
            size = 0;
        } else if (size <= bufferSize) {
            read = PlatformRegQueryValue(key, valueName, nullptr, buffer, &size) ==
                   PLATFORM_ERROR_SUCCESS;
        }
        PlatformRegCloseKey(key);
    }
    if (storedSize != nullptr) {
        *storedSize = size;
    }
    return read;
}

bool ReadDwordSetting(const char* valueName, uint32_t* value) {
    RegKey key = 0;
    if (PlatformRegOpenKey(SETTINGS_KEY, &key) != PLATFORM_ERROR_SUCCESS) {
        return false;
    }
    uint32_t type = 0;
    uint32_t size = 0;
    bool read = false;
    uint8_t bytes[4];
    if (PlatformRegQueryValue(key, valueName, &type, nullptr, &size) == PLATFORM_ERROR_SUCCESS &&
        type == REGISTRY_DWORD && size == sizeof bytes) {
        read = PlatformRegQueryValue(key, valueName, nullptr, bytes, &size) ==
                   PLATFORM_ERROR_SUCCESS &&
               size == sizeof bytes;
    }
    PlatformRegCloseKey(key);
    if (read) {
        *value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                 uint32_t{bytes[3]} << 24;
    }
    return read;
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

// The path is quoted because it usually contains blanks ("Program Files"): unquoted, the
// system would split the command at the first blank and try to start the wrong file.
// Where the logon task is registered, it alone starts the program, with UAC on or off; a Run
// value left from an older version would start a second copy, whose "s" shows the window of
// the first, so it is removed. Where the task is refused (no Task Scheduler 2.0, its service
// stopped, a locked-down system), the Run value stands in as before. Removing the task never
// fails the call: the uninstall goes on whatever the scheduler says.
void RegisterAutoStart(bool enable) {
    char path[PROGRAM_PATH_SIZE];
    const bool havePath = PlatformModuleFileName(path, sizeof path) != 0;
    char command[PROGRAM_PATH_SIZE + 8];
    snprintf(command, sizeof command, "\"%s\" s", havePath ? path : "");
    const uint32_t commandSize = static_cast<uint32_t>(strlen(command)) + 1;

    bool taskRegistered = false;
    if (enable) {
        taskRegistered = havePath && RegisterLogonTask(path);
    } else {
        DeleteLogonTask();
    }
    logonTaskRefused = enable && !taskRegistered;

    RegKey key = 0;
    if (PlatformRegOpenKey(RUN_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        if (!enable || taskRegistered) {
            PlatformRegDeleteValue(key, "Chronoplex");
        } else if (havePath) {
            PlatformRegSetValue(key, "Chronoplex", REGISTRY_SZ, command, commandSize);
        }
        PlatformRegCloseKey(key);
    }

    // Without its own path the program has no uninstall command worth writing.
    if (!havePath) {
        return;
    }
    if (PlatformRegOpenKey(UNINSTALL_KEY, &key) != PLATFORM_ERROR_SUCCESS &&
        PlatformRegCreateKey(UNINSTALL_KEY, &key) != PLATFORM_ERROR_SUCCESS) {
        return;
    }
    command[commandSize - 2] = 'u';
    PlatformRegSetValue(key, "DisplayName", REGISTRY_SZ, "Chronoplex", 11);
    PlatformRegSetValue(key, "UninstallString", REGISTRY_SZ, command, commandSize);
    PlatformRegCloseKey(key);
}
