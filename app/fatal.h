// The one way out for an unrecoverable error: tidy up, show the text, end the process.
// A call made while an earlier one is still under way returns at once, so callers must cope
// with it returning.
#pragma once

void FatalError(const char* text);
