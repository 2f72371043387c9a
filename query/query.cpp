#include "query/query.h"

QuerySession querySessions[SERVER_SLOT_COUNT];
int32_t activeQueries = 0;
uint8_t testOnly = 0;
Ms1900 runDeadline = 0;
