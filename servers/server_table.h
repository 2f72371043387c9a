// The table of 64 server slots and its operations. Every operation that changes a slot saves
// it before returning, so the settings key holds one value per occupied slot; the one
// exception is AddServer, whose callers save the slot it filled through UpdateServer.
#pragma once
#include <cstdint>

#include "servers/server_record.h"

constexpr int SERVER_SLOT_COUNT = 64;
constexpr int DEFAULT_SERVER_COUNT = 58;
constexpr int KEEP_BEST_COUNT = 4;

extern ServerRecord serverTable[SERVER_SLOT_COUNT];
extern bool freshDefaults; // defaults installed in this process, no successful run since
extern bool needDefaults;  // the stored list is not of this settings version

extern const char* const DEFAULT_SERVERS[DEFAULT_SERVER_COUNT];

// "Server%03d"; name holds at least 10 bytes.
void ServerValueName(int slot, char* name);

int AddServer(const char* name); // the slot used, or -1
void SaveServer(int slot);
void UpdateServer(int slot);
void ResetServerList();
void LoadServerList();
void KeepBestFour();

// Puts this module's globals back to their start values (for tests).
void ResetServerTableGlobals();
