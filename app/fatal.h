// The ways out of the program: the one for an unrecoverable error (declared with the logic, in
// time/fatal.h, and supplied here), and the tidying up that every end does (declared with the
// window, in ui/dialog.h, whose destruction calls it).
#pragma once
#include <cstdint>

#include "time/fatal.h"
#include "ui/dialog.h"

// Set once the socket library was started; it is stopped at every end.
extern uint8_t winsockStarted;
