// The main dialog, as far as the logic needs it.
#pragma once

#include "platform/window.h"

#define PROGRAM_TITLE "Chronoplex v2.1"

// The dialog's window; null while it does not exist.
extern WindowHandle mainDialog;
