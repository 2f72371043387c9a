#include "query/consensus.h"

uint8_t lastRunFailed = 0;
