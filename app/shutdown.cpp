#include <winsock2.h>
#include <windows.h>

#include "app/fatal.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "ui/dialog.h"

uint8_t fatalShown = 0;
uint8_t winsockStarted = 0;

void TearDown() {
    HWND window = MainWindow();
    RemoveTrayIcon();
    KillTimer(window, TIMER_CLOCK);
    // A run stopped here, or one whose end was still waiting to be carried out, ends now:
    // the finished servers still correct the clock.
    StopRuns();
    // Last, so that they also stop whatever the end of an interrupted run armed.
    KillTimer(window, TIMER_QUIT);
    KillTimer(window, TIMER_BUSY);
    KillTimer(window, TIMER_RETRY);
}

void FatalError(const char* text) {
    if (fatalShown) {
        return;
    }
    fatalShown = 1;
    if (mainDialog != nullptr) {
        TearDown();
    }
    WaitForBox(MainWindow(), text, PROGRAM_TITLE, MB_OK | MB_SYSTEMMODAL | MB_ICONERROR);
    if (winsockStarted) {
        WSACleanup();
    }
    ExitProcess(0);
}
