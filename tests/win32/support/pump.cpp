#include "tests/win32/support/pump.h"

#include <gtest/gtest.h>

#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "tests/fakes/fakes.h"

HWND testWindow = nullptr;
PumpStats pumpStats;
static std::function<void(const Notice&)> noticeSink;

void SetNoticeSink(std::function<void(const Notice&)> sink) {
    noticeSink = std::move(sink);
}

// Network notices go to the sink while one is set; everything else the engine handles goes
// through the same routing as the main dialog's procedure.
static LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if ((message == WM_LOOKUP_DONE || message == WM_SOCKET_EVENT) && noticeSink) {
        noticeSink(Notice{message, wParam, lParam});
        return 0;
    }
    if (HandleEngineMessage(message, wParam, lParam)) {
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void StartTestPlatform() {
    if (testWindow != nullptr) {
        return;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        fprintf(stderr, "WSAStartup failed\n");
        exit(1);
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ChronoplexTestWindow";
    RegisterClassA(&windowClass);
    // A message-only window needs no desktop, so the suites run without a display.
    testWindow = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, windowClass.hInstance, nullptr);
    if (testWindow == nullptr) {
        fprintf(stderr, "cannot create the test window (error %lu)\n", GetLastError());
        exit(1);
    }
    mainDialog = testWindow;
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) {
            return true;
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= limitMs) {
            return done();
        }
        LARGE_INTEGER before, after, frequency;
        QueryPerformanceCounter(&before);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, limitMs - spent, QS_ALLINPUT);
        QueryPerformanceCounter(&after);
        QueryPerformanceFrequency(&frequency);
        pumpStats.waitMs += static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 /
                            static_cast<double>(frequency.QuadPart);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            pumpStats.messages++;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (done()) {
                return true;
            }
        }
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

namespace {
class TestPlatformEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { StartTestPlatform(); }
};
const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TestPlatformEnvironment);
} // namespace
