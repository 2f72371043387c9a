#include <windows.h>

#include "app/entry.h"

// The command line is read whole rather than from the runtime's argument text, so that the
// rule for the program's own path is ours.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return RunProgram(instance, GetCommandLineA());
}
