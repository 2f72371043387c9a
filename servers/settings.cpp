#include "servers/settings.h"

uint8_t correctOnLaunch = 0;
int64_t userOffsetMs = 0;
int64_t lastCorrectionValue = 0;
Ms1900 lastCorrectionTime = 0;
