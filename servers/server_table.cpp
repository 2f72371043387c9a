#include "servers/server_table.h"

ServerRecord serverTable[SERVER_SLOT_COUNT];
bool freshDefaults = false;
bool needDefaults = true;
