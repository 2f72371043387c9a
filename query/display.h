// What the engine asks of the window that shows its runs: the tray icon and status line, the
// run button, the schedule label and the clock. The window code supplies it; the tests record
// it. The engine names states, never controls.
#pragma once

#include "platform/window.h"
#include "servers/waits.h" // mainDialog

enum TrayMode { TrayIdle = 0, TrayChecking = 1, TrayTesting = 2 };

// Sets the status line, the icon and its tip together. Stops the busy timer; Checking and
// Testing start it again and clear lastRunFailed.
void UpdateTrayStatus(TrayMode mode);
// One step of the icon's animation, on each busy tick.
void AnimateTrayStep();
// The run button tells what pressing it would do: start a correction while idle, stop the
// correction or the test going on.
void ShowRunButton(TrayMode mode);
void ShowScheduleLabel(const char* label);
// The date and time shown; an unchanged text is not set again.
void ShowClockText(const char* text);
// Whether the window can be seen: texts that only it shows are not made while it is hidden.
bool WindowShown();
