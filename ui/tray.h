// The notification-area icon and the status line, as far as the logic needs them.
#pragma once

enum TrayMode { TrayIdle = 0, TrayChecking = 1, TrayTesting = 2 };

// Sets the status line, the icon and its tip together. Stops the busy timer; Checking and
// Testing start it again at 200 ms and clear lastRunFailed.
void UpdateTrayStatus(TrayMode mode);
// One step of the icon's animation, on each busy tick.
void AnimateTrayStep();
