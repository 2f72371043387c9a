#include "tests/win32/support/pump.h"

#include <gtest/gtest.h>

#include "query/query.h"
#include "tests/fakes/fakes.h"
#include "ui/main_window.h"
// The system headers name a stock icon IDI_WARNING too; ours is the one meant here.
#undef IDI_WARNING
#include "ui/resource.h"

HWND testWindow = nullptr;
PumpStats pumpStats;
static std::function<void(const Notice&)> noticeSink;

void SetNoticeSink(std::function<void(const Notice&)> sink) {
    noticeSink = std::move(sink);
}

// The same routing as the main dialog's procedure, for the messages a run produces.
static LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_LOOKUP_DONE:
    case WM_SOCKET_EVENT:
        if (noticeSink) {
            noticeSink(Notice{message, wParam, lParam});
        } else if (message == WM_LOOKUP_DONE) {
            HandleLookupDone(wParam, lParam);
        } else {
            HandleSocketEvent(wParam, lParam);
        }
        return 0;
    case WM_TIMER:
        if (wParam == TIMER_BUSY) {
            BusyTick();
        }
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
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
