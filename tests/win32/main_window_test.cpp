// The main dialog in this process, made from the program's own layout and procedure: its
// texts, where it opens, the offset box, the correct-on-launch box, when closing ends the
// program, and an end in the middle of a run. Boxes are answered by the test.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/entry.h"
#include "app/fatal.h"
#include "query/correction.h"
#include "query/display.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/install.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/win32/support/time_servers.h"
#include "tests/win32/support/window_support.h"
#include "time/timebase.h"
#include "ui/dialog.h"
#include "ui/resource.h"

namespace {

std::string ControlText(int id) {
    char text[200] = {};
    GetDlgItemTextA(MainWindow(), id, text, sizeof text);
    return text;
}

// Whether the dialog has a control of the class with exactly this text.
bool HasControl(const char* className, const char* text) {
    return FindWindowExA(MainWindow(), nullptr, className, text) != nullptr;
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearProgramRegistry();
        ResetServerTableGlobals();
        ResetQueryGlobals();
        ResetCorrectionGlobals();
        ResetScheduleGlobals();
        ResetSettingsGlobals();
    }
    void TearDown() override {
        DestroyMainDialog();
        StopTimeServers();
        ClearProgramRegistry();
    }
};

// The layout's Spanish texts reach the controls as written (the script is UTF-8).
TEST_F(MainWindowTest, LayoutTextsAndTitle) {
    ASSERT_NE(CreateMainDialog(), nullptr);
    char title[64] = {};
    GetWindowTextA(MainWindow(), title, sizeof title);
    EXPECT_STREQ(title, "Chronoplex v2.1");
    EXPECT_EQ(ControlText(IDC_CORRECT_ON_LAUNCH), "Corregir al Ejecutar");
    EXPECT_EQ(ControlText(IDOK), "\xA1&Corregir AHORA!");
    EXPECT_EQ(ControlText(IDCANCEL), "&Salir");
    EXPECT_TRUE(HasControl("Static", "Unidades: d, h, m, \xF3 s"));
    EXPECT_TRUE(HasControl("Button", "Correcci\xF3n de Programa:"));
    EXPECT_TRUE(HasControl("Button", "Compensaci\xF3n de Tiempo local:"));
    EXPECT_EQ(ControlText(IDC_SCHEDULE_LABEL), "No Scheduled Interval");
    EXPECT_EQ(ControlText(IDC_OFFSET_EDIT), " 0.0s");
}

TEST(ProgramEntry, OnlyTheFirstLowerCaseLetterAfterThePathCounts) {
    const struct {
        const char* commandLine;
        char letter;
    } cases[] = {
        {"\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" s", 's'},
        {"\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" u", 'u'},
        {"\"C:\\Program Files\\Chronoplex\\chronoplex.exe\"s", 's'},
        {"chronoplex.exe \t u", 'u'},
        {"chronoplex.exe setup", 's'},
        {"chronoplex.exe S", 0},
        {"chronoplex.exe U", 0},
        {"chronoplex.exe x s", 0},
        {"chronoplex.exe", 0},
        {"C:\\Program Files\\chronoplex.exe s", 0}, // unquoted: the path ends at the blank
        {"\"C:\\unterminated s", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LaunchLetter(c.commandLine), c.letter) << c.commandLine;
    }
}

// A stored place is used when enough of the window stays on the screen, with the layout's size;
// otherwise the window opens centred.
TEST_F(MainWindowTest, StoredPlacementOnAndOffTheScreen) {
    const LONG cx = GetSystemMetrics(SM_CXFULLSCREEN);
    const LONG cy = GetSystemMetrics(SM_CYFULLSCREEN);
    const struct {
        const char* name;
        bool stored;
        UINT length;
        RECT rect;
        bool used;
    } cases[] = {
        {"none", false, 44, {}, false},
        {"on screen", true, 44, {100, 50, 300, 200}, true},
        {"another size", true, 44, {120, 60, 900, 700}, true},
        {"left at the limit", true, 44, {cx - 20, 50, cx + 200, 200}, true},
        {"left beyond", true, 44, {cx - 19, 50, cx + 200, 200}, false},
        {"right at the limit", true, 44, {-200, 50, 20, 200}, true},
        {"right beyond", true, 44, {-200, 50, 19, 200}, false},
        {"top beyond", true, 44, {100, cy - 19, 300, cy + 100}, false},
        {"bottom beyond", true, 44, {100, -150, 300, 19}, false},
        {"other length", true, 40, {100, 50, 300, 200}, false},
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.stored) {
            WINDOWPLACEMENT p = {};
            p.length = c.length;
            p.showCmd = SW_SHOWNORMAL;
            p.rcNormalPosition = c.rect;
            WriteSetting("WindowPlacement", &p, sizeof p);
        }
        ASSERT_NE(CreateMainDialog(), nullptr) << c.name;
        WINDOWPLACEMENT now = {};
        now.length = sizeof now;
        GetWindowPlacement(MainWindow(), &now);
        const RECT& r = now.rcNormalPosition;
        RECT layout = {0, 0, 284, 116};
        MapDialogRect(MainWindow(), &layout);
        RECT frame = layout;
        AdjustWindowRect(&frame, GetWindowLongA(MainWindow(), GWL_STYLE), FALSE);
        EXPECT_EQ(r.right - r.left, frame.right - frame.left) << c.name;
        EXPECT_EQ(r.bottom - r.top, frame.bottom - frame.top) << c.name;
        if (c.used) {
            EXPECT_EQ(r.left, c.rect.left) << c.name;
            EXPECT_EQ(r.top, c.rect.top) << c.name;
        } else {
            EXPECT_LE(std::abs(2 * r.left + (r.right - r.left) - cx), 1) << c.name;
            EXPECT_LE(std::abs(2 * r.top + (r.bottom - r.top) - cy), 1) << c.name;
        }
        // The place it opened at is what is stored now.
        WINDOWPLACEMENT saved = {};
        EXPECT_TRUE(ReadSetting("WindowPlacement", &saved, sizeof saved)) << c.name;
        EXPECT_EQ(saved.rcNormalPosition.left, r.left) << c.name;
        TearDown();
    }
}

TEST_F(MainWindowTest, OffsetBoxStoresWhatTheTextMeansAndShowsItNormalised) {
    ASSERT_NE(CreateMainDialog(), nullptr);
    const struct {
        const char* typed;
        int64_t ms;
        const char* shown;
    } cases[] = {
        {"1.5m", 90000, "+90.0s"},     {"", 0, " 0.0s"},
        {"-2h", -7200000, "-2.00h"},   {"119.99", 119990, "+120.0s"},
        {"+120.0s", 120000, "+2.00m"}, {"abc", 0, " 0.0s"},
    };
    for (const auto& c : cases) {
        SetDlgItemTextA(MainWindow(), IDC_OFFSET_EDIT, c.typed);
        SendMessageA(MainWindow(), WM_COMMAND, MAKEWPARAM(IDC_OFFSET_EDIT, EN_KILLFOCUS),
                     reinterpret_cast<LPARAM>(GetDlgItem(MainWindow(), IDC_OFFSET_EDIT)));
        int64_t stored = -1;
        EXPECT_TRUE(ReadSetting("Offset", &stored, sizeof stored)) << c.typed;
        EXPECT_EQ(stored, c.ms) << c.typed;
        EXPECT_EQ(userOffsetMs, c.ms) << c.typed;
        EXPECT_EQ(ControlText(IDC_OFFSET_EDIT), c.shown) << c.typed;
    }
}

// Ticking asks first and a No leaves everything as it was; clearing asks nothing.
TEST_F(MainWindowTest, CorrectOnLaunchBoxAsksBeforeItIsSet) {
    ASSERT_NE(CreateMainDialog(), nullptr);
    HWND box = GetDlgItem(MainWindow(), IDC_CORRECT_ON_LAUNCH);
    uint8_t stored = 0xAA;
    {
        BoxAnswerer no(IDNO);
        SendMessageA(box, BM_CLICK, 0, 0);
        ASSERT_EQ(no.captions.size(), 1u);
        EXPECT_EQ(no.captions[0], "Note!");
        EXPECT_EQ(no.texts[0].rfind("This will prevent the options window", 0), 0u);
    }
    EXPECT_EQ(IsDlgButtonChecked(MainWindow(), IDC_CORRECT_ON_LAUNCH), BST_UNCHECKED);
    EXPECT_EQ(correctOnLaunch, 0);
    EXPECT_FALSE(ReadSetting("CorrectOnLaunch", &stored, sizeof stored));
    {
        BoxAnswerer yes(IDYES);
        SendMessageA(box, BM_CLICK, 0, 0);
        EXPECT_EQ(yes.captions.size(), 1u);
    }
    EXPECT_EQ(IsDlgButtonChecked(MainWindow(), IDC_CORRECT_ON_LAUNCH), BST_CHECKED);
    EXPECT_TRUE(ReadSetting("CorrectOnLaunch", &stored, sizeof stored));
    EXPECT_EQ(stored, 1);
    {
        BoxAnswerer none(IDYES);
        SendMessageA(box, BM_CLICK, 0, 0);
        EXPECT_TRUE(none.captions.empty());
    }
    EXPECT_TRUE(ReadSetting("CorrectOnLaunch", &stored, sizeof stored));
    EXPECT_EQ(stored, 0);
}

// Closing ends the program unless a schedule interval keeps it in the notification area;
// the start is hidden when asked for by the letter or by the correct-on-launch setting.
TEST_F(MainWindowTest, ClosingHidesOrEndsByTheSchedule) {
    const struct {
        int32_t schedule;
        UINT how; // WM_CLOSE or a command
        bool ends;
    } cases[] = {
        {0, WM_CLOSE, true},
        {1, IDCANCEL, true},
        {2, WM_CLOSE, false},
        {9, IDCANCEL, false},
    };
    for (const auto& c : cases) {
        SetUp();
        WriteSetting("Schedule", &c.schedule, sizeof c.schedule);
        ASSERT_NE(CreateMainDialog(), nullptr);
        EXPECT_TRUE(IsWindowVisible(MainWindow()));
        HWND window = MainWindow();
        if (c.how == WM_CLOSE) {
            SendMessageA(window, WM_CLOSE, 0, 0);
        } else {
            SendMessageA(window, WM_COMMAND, c.how, 0);
        }
        EXPECT_EQ(IsWindow(window) == FALSE, c.ends) << c.schedule;
        EXPECT_EQ(mainDialog == nullptr, c.ends) << c.schedule;
        if (!c.ends) {
            EXPECT_FALSE(IsWindowVisible(window));
        }
        TearDown();
    }
    for (const char letter : {'s', 'u', '\0'}) {
        SetUp();
        launchMode = letter;
        ASSERT_NE(CreateMainDialog(), nullptr);
        EXPECT_EQ(IsWindowVisible(MainWindow()) != FALSE, letter == 0) << letter;
        TearDown();
    }
}

// Ending the program in the middle of a run interrupts the open queries, and the servers that
// had finished still make the correction.
TEST_F(MainWindowTest, EndDuringARunKeepsTheFinishedServers) {
    const TimeServerSetup setups[] = {
        {"127.0.6.2", ServeTime, 0}, {"127.0.6.3", ServeTime, 0}, {"127.0.6.4", ServeSilent, 0}};
    ASSERT_NE(CreateMainDialog(), nullptr); // starts the socket library, which the servers use
    ASSERT_TRUE(StartTimeServers(setups, 3, 30000));
    for (int slot = 0; slot < 3; slot++) {
        snprintf(serverTable[slot].name, sizeof serverTable[slot].name, "%s", setups[slot].address);
        serverTable[slot].enabled = 1;
        UpdateServer(slot);
    }
    SendMessageA(MainWindow(), WM_COMMAND, IDOK, 0);
    EXPECT_EQ(ControlText(IDOK), "Stop Correcting...");
    ASSERT_TRUE(PumpDialog(
        10000, [] { return serverTable[0].status == Used && serverTable[1].status == Used; }));
    EXPECT_EQ(activeQueries, 1);
    SendMessageA(MainWindow(), WM_COMMAND, ID_EXIT, 0);
    EXPECT_EQ(mainDialog, nullptr);
    EXPECT_EQ(activeQueries, 0);

    const int32_t expected[] = {Used, Used, Interrupted};
    for (int slot = 0; slot < 3; slot++) {
        ServerRecord stored = {};
        char value[16];
        ServerValueName(slot, value);
        ASSERT_TRUE(ReadSetting(value, &stored, sizeof stored));
        EXPECT_EQ(stored.status, expected[slot]) << slot;
    }
    int64_t value = 0;
    ASSERT_TRUE(ReadSetting("LastCorrectionValue", &value, sizeof value));
    EXPECT_EQ(value, (serverTable[0].correction + serverTable[1].correction) / 2);
}

bool menuSeen = false;
void CALLBACK CloseMenu(HWND, UINT, UINT_PTR id, DWORD) {
    HWND menu = FindWindowA("#32768", nullptr);
    if (menu != nullptr && IsWindowVisible(menu)) {
        menuSeen = true;
        KillTimer(nullptr, id);
        EndMenu();
    }
}

// Enter on the list goes through the dialog manager as every key does, yet opens the server
// menu instead of pressing the default button.
TEST_F(MainWindowTest, EnterOnTheListOpensTheServerMenuNotARun) {
    ASSERT_NE(CreateMainDialog(), nullptr);
    snprintf(serverTable[0].name, sizeof serverTable[0].name, "%s", "127.0.6.9");
    serverTable[0].enabled = 1;
    UpdateServer(0);
    SetFocus(serverListView);
    menuSeen = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, CloseMenu);
    PostMessageA(serverListView, WM_KEYDOWN, VK_RETURN, 0);
    PumpDialog(3000, [] { return menuSeen; });
    KillTimer(nullptr, timer);
    EXPECT_TRUE(menuSeen);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(ControlText(IDOK), "\xA1&Corregir AHORA!");
}

// A fatal error raised while the first one's box is open (its loop lets messages in) is
// dropped and its caller goes on; the first box is the only one, and the process ends with 0.
TEST(FatalErrorDeathTest, SecondCallWhileTheBoxIsOpenReturnsAndTheFirstEndsTheProcess) {
    ClearProgramRegistry();
    EXPECT_EXIT(
        {
            BoxAnswerer ok(IDOK, [] {
                FatalError("Cannot open window");
                const uint8_t returned = 1;
                WriteSetting("SecondCallReturned", &returned, sizeof returned);
            });
            FatalError("Registry Problem");
            WriteSetting("FirstCallReturned", &ok, 1); // never reached
        },
        ::testing::ExitedWithCode(0), "");
    uint8_t flag = 0;
    EXPECT_TRUE(ReadSetting("SecondCallReturned", &flag, sizeof flag));
    EXPECT_FALSE(ReadSetting("FirstCallReturned", &flag, sizeof flag));
    ClearProgramRegistry();
}

} // namespace
