// A modeless dialog and its message loop, nothing else: the floor under the program's
// start-up time, working set and idle CPU (see tools/bench-program). It is built with the
// same toolchain and linked as statically as the program, and ends when its window closes.
#include <windows.h>

#include "bench/minimal_dialog.h"

namespace {

INT_PTR CALLBACK MinimalDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            DestroyWindow(window);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    HWND dialog =
        CreateDialogA(instance, MAKEINTRESOURCEA(IDD_MINIMAL), nullptr, MinimalDialogProc);
    if (dialog == nullptr) {
        return 1;
    }
    ShowWindow(dialog, SW_SHOW);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}
