#include "query/query.h"

QuerySession querySessions[SERVER_SLOT_COUNT];
int32_t activeQueries = 0;
uint8_t testOnly = 0;
Ms1900 runDeadline = 0;

void HandleLookupDone(uintptr_t, intptr_t) {}
void HandleSocketEvent(uintptr_t, intptr_t) {}
void CheckRunDeadline() {}
