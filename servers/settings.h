// The settings store: every persistent value lives under one registry key. Each call opens
// the key, does its one operation and closes it again; nothing is cached.
#pragma once
#include <cstdint>

#include "time/timebase.h"

#define SETTINGS_KEY "SOFTWARE\\Chronoplex"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define UNINSTALL_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Chronoplex"
constexpr uint32_t SETTINGS_VERSION = 0x20003;

// Settings mirrored in globals (all start at zero; a missing value leaves them so).
extern uint8_t correctOnLaunch;
extern int64_t userOffsetMs;
extern int64_t lastCorrectionValue;
extern Ms1900 lastCorrectionTime;

// Stores size bytes as the named value: 4 bytes as a REG_DWORD, any other size as
// REG_BINARY. No data or size 0 deletes the value. Any failure is fatal.
void WriteSetting(const char* valueName, const void* data, uint32_t size);

// Reads the named value into buffer, which has room for bufferSize bytes. True when read.
// A stored value shorter than the buffer fills only its first bytes; one longer than the
// buffer reads as missing and leaves the buffer untouched. storedSize, when given, receives
// the stored size of a value that exists, also of one too big to read, and 0 when there is
// none.
bool ReadSetting(const char* valueName, void* buffer, uint32_t bufferSize,
                 uint32_t* storedSize = nullptr);

// Writes or removes the automatic start at logon, and rewrites the uninstall entry.
void RegisterAutoStart(bool enable);

// Puts this module's globals back to their start values (for tests).
void ResetSettingsGlobals();
