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
// none; storedType likewise its registry type.
bool ReadSetting(const char* valueName, void* buffer, uint32_t bufferSize,
                 uint32_t* storedSize = nullptr, uint32_t* storedType = nullptr);

// A setting that counts only as a REG_DWORD: true with its value when it is one, false when
// it is missing or of any other type or size. A 4-byte text "100" is not the number 0x303031.
bool ReadDwordSetting(const char* valueName, uint32_t* value);

// The least time between two connections to one server address, from the optional setting
// "SampleSpacing" (milliseconds; the program never writes it). Missing, or anything but a
// REG_DWORD: the default, a little over the four seconds that public servers demand, so that a
// server's seven samples fall at different points of its second. Above the maximum: the
// maximum. 0 asks servers on the LAN back to back.
constexpr uint32_t DEFAULT_SAMPLE_SPACING_MS = 4000 + 1000 / 7;
constexpr uint32_t MAX_SAMPLE_SPACING_MS = 60000;
uint32_t ReadSampleSpacing();

// The optional setting "WholeSecondEstimate" (the program never writes it): a REG_DWORD of 1
// asks for the older arithmetic, which takes the start of each server's second as its time,
// the mean of the four fastest samples and no aim. Anything else, missing included, asks for
// the precise estimate.
bool ReadWholeSecondEstimate();

// Set when the last request for the automatic start could not register the logon task
// (servers/logon_task.h), so that the Run value alone stands in for it: that starts the
// program at logon only where UAC is off. Cleared when the task was registered or the
// automatic start removed.
extern uint8_t logonTaskRefused;
// Set when the last request for the automatic start found the program where a standard user
// can change it (platform/program_place.h), so that neither the task nor the Run value was
// written. Cleared by a request from a safe place, and when the automatic start is removed.
extern uint8_t programPlaceUnsafe;

// Set when the last request for the automatic start found a task of our name that is not ours
// and could not be removed, or came back before ours was made: nothing else was registered.
// Cleared as programPlaceUnsafe is.
extern uint8_t logonTaskTaken;

// What the removal of the automatic start could not remove (bits).
constexpr uint32_t AUTO_START_LEFT_TASK = 1;
constexpr uint32_t AUTO_START_LEFT_RUN_VALUE = 2;

// Writes or removes the automatic start at logon, and updates the uninstall entry. Called when
// a schedule is chosen or given up; never at every start (see
// CheckAutoStart). The automatic start is the logon task, or the Run value where the task
// cannot be registered; never both, so that one logon starts one copy; and neither where the
// program's place is unsafe, where a task or Run value that starts this very file, or another
// file that is missing or unsafe, is removed instead. Both start the program's final path
// (links and junctions resolved), and the place stays held as judged until they are written.
// Returns the AUTO_START_LEFT_ bits of what should have gone and could not; nothing else is
// reported.
uint32_t RegisterAutoStart(bool enable);

// The uninstall's part of the entries: the logon task, the Run value and the uninstall entry
// go when they name this very file, or a file that is missing or that a standard user can
// change; those of another copy in a safe place stay, so that an installed copy is never left
// without its automatic start or its uninstall. Returns the AUTO_START_LEFT_ bits of what
// should have gone and could not.
uint32_t RemoveEntriesOfThisFile();

// The entry in the system's list of installed programs: "DisplayName" and the
// "UninstallString" (the program's final path, quoted, and u), written only from a safe place
// and never over the entry of another copy in a safe place; from an unsafe place, removed
// where it names a file that a standard user can change. Every start updates it, as does
// RegisterAutoStart; failures are silent.
void WriteUninstallEntry();

// The check at a start, made after the window is up. With a schedule set: where the logon
// task is missing or stale (not ours, another program path, a task of one user, another
// principal, permissions that let others change it), it is registered again as
// RegisterAutoStart(true) would; where it is current, nothing is written. From an unsafe place
// nothing is registered. Either way, and without a schedule too, a task or Run value that
// starts a file that a standard user can change is removed.
void CheckAutoStart(bool scheduled);

// Puts this module's globals back to their start values (for tests).
void ResetSettingsGlobals();
