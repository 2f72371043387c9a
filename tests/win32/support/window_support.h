// Support for the suites that drive the real main dialog in their own process: a pump that
// hands keyboard messages to the dialog as the program's loop does, an answerer for message
// boxes, and the making and ending of the dialog itself.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Handles messages until done() holds or ms have passed; true if it held.
bool PumpDialog(
    DWORD ms, const std::function<bool()>& done = [] { return false; });

// While it lives, answers every message box this thread opens with `answer`, after running
// `during` inside the box's own message loop (the rest of the program goes on meanwhile).
// Records each box's caption and text, in order.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(int answer, std::function<void()> during = {});
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    std::vector<std::string> captions;
    std::vector<std::string> texts;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    static BoxAnswerer* current;
    int answer_;
    std::function<void()> during_;
    HHOOK hook_;
    HWND answered_ = nullptr;
};

// Clears the program's settings key, its automatic-start entries (the Run value and the logon
// task) and its uninstall entry, then stores back-to-back sampling for the suites' own
// loopback servers.
void ClearProgramRegistry();

// Starts the socket library and the common controls once; then makes the main dialog as the
// program does. needDefaults is cleared unless the test wants the default list installed.
HWND CreateMainDialog(bool installDefaults = false);
// Destroys the dialog as the program's end does and swallows the quit message it posts.
void DestroyMainDialog();
