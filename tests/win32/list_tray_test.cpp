// The server list and the tray icon on the real dialog, its list control and its menus.
// Every question box is answered by the test; menus are closed by a timer.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "query/correction.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/list_display.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/win32/support/window_support.h"
#include "time/timebase.h"
#include "ui/dialog.h"
#include "ui/list_tray_detail.h"
#include "ui/resource.h"

namespace {

// While it lives, a timer watches for menus: `inside` runs when the first one shows, then
// every menu showing is closed, nested ones included. Gives up after two seconds without one.
struct MenuVisit {
    static inline MenuVisit* current = nullptr;
    std::function<void()> inside;
    bool visited = false;
    int ticks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 50, Tick);

    explicit MenuVisit(std::function<void()> i) : inside(std::move(i)) { current = this; }
    ~MenuVisit() {
        KillTimer(nullptr, timer);
        current = nullptr;
    }
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        HWND menuWindow = FindWindowA("#32768", nullptr);
        const bool shown = menuWindow != nullptr && IsWindowVisible(menuWindow);
        if (shown && !current->visited) {
            current->visited = true;
            current->inside();
        }
        if (shown || ++current->ticks > 40) {
            EndMenu();
        }
    }
};

struct Server {
    const char* name;
    int32_t enabled, status;
    uint32_t latency;
    int64_t correction;
    int32_t phase, sampleIndex; // a query in progress: counted among the active ones
};

// Slot i takes servers[i], stored as the table stores it; the rows follow.
void Install(const std::vector<Server>& servers) {
    for (size_t slot = 0; slot < servers.size(); slot++) {
        const Server& s = servers[slot];
        serverTable[slot] = {{}, s.enabled, s.status, s.latency, {}, s.correction};
        snprintf(serverTable[slot].name, SERVER_NAME_SIZE, "%s", s.name);
        querySessions[slot].phase = s.phase;
        querySessions[slot].sampleIndex = s.sampleIndex;
        activeQueries += s.phase != Idle ? 1 : 0;
        SaveServer(static_cast<int>(slot));
    }
    RefreshListRows(false);
}

std::string Cell(int row, int column) {
    char text[160] = {};
    ListView_GetItemText(serverListView, row, column, text, sizeof text);
    return text;
}

// The names of the rows, top to bottom, each followed by a blank.
std::string Rows() {
    std::string names;
    for (int row = 0; row < ListView_GetItemCount(serverListView); row++) {
        names += Cell(row, 0) + " ";
    }
    return names;
}

int RowOf(const char* name) {
    LVFINDINFOA find = {};
    find.flags = LVFI_STRING;
    find.psz = name;
    return static_cast<int>(SendMessageA(serverListView, LVM_FINDITEMA, -1, (LPARAM)&find));
}

void Select(std::initializer_list<const char*> names) {
    ListView_SetItemState(serverListView, -1, 0, LVIS_SELECTED);
    for (const char* name : names) {
        ListView_SetItemState(serverListView, RowOf(name), LVIS_SELECTED, LVIS_SELECTED);
    }
}

bool Stored(int slot) {
    ServerRecord record;
    char value[16];
    ServerValueName(slot, value);
    return ReadSetting(value, &record, sizeof record);
}

std::string Text(int control) {
    char text[100] = {};
    GetDlgItemTextA(MainWindow(), control, text, sizeof text);
    return text;
}

// A notice of the list as the dialog receives it.
template <typename Notice> void SendNotice(Notice notice, UINT code) {
    notice.hdr = {serverListView, IDC_SERVER_LIST, code};
    SendMessageA(MainWindow(), WM_NOTIFY, IDC_SERVER_LIST, reinterpret_cast<LPARAM>(&notice));
}

void Key(WORD key) {
    NMLVKEYDOWN notice = {};
    notice.wVKey = key;
    SendNotice(notice, LVN_KEYDOWN);
}

class ListTray : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearProgramRegistry();
        ASSERT_NE(CreateMainDialog(), nullptr);
        // Runs of these tests are test runs: nothing here may reach for the clock.
        testOnly = 1;
        memset(serverTable, 0, sizeof serverTable);
        memset(querySessions, 0, sizeof querySessions);
        activeQueries = 0;
        RefreshListRows(false);
        sortColumn = 1;
        sortDirection = -1;
        lastRunFailed = 0;
        lastCorrectionTime = 0;
    }
    void TearDown() override {
        testOnly = 1;
        DestroyMainDialog();
    }
};

// Sorting: a and k tie on every value, d and l on their status; g and h are queries in
// progress; i and j are disabled.
const std::vector<Server> SORT_SERVERS = {
    {"h", 1, None, 0, 0, Reading, 4},    {"c", 1, Rejected, 50, 2500, Idle, 0},
    {"j", 0, Disabled, 0, 0, Idle, 0},   {"e", 1, Interrupted, 0, 0, Idle, 0},
    {"a", 1, Used, 20, 500, Idle, 0},    {"l", 1, Refused, 0, 0, Idle, 0},
    {"g", 1, None, 0, 0, Connecting, 0}, {"b", 1, Tested, 90, -300, Idle, 0},
    {"k", 1, Used, 20, 500, Idle, 0},    {"d", 1, Refused, 0, 0, Idle, 0},
    {"i", 0, Used, 10, 0, Idle, 0},      {"f", 1, None, 0, 0, Idle, 0},
};

TEST_F(ListTray, HeaderClicksGiveEachOrderInBothDirections) {
    Install(SORT_SERVERS);
    const struct {
        int click; // -1: the order at start
        int column, direction;
        const char* order;
    } steps[] = {
        {-1, 1, -1, "g h f d l e b c a k j i "}, {1, 1, 1, "a k c b e d l f h g i j "},
        {2, 2, 1, "b a k c e d l f h g i j "},   {2, 2, -1, "c a k b e d l f h g i j "},
        {0, 0, 1, "a b c d e f g h i j k l "},   {0, 0, -1, "l k j i h g f e d c b a "},
        {1, 1, 1, "a k c b e d l f h g i j "},
    };
    for (const auto& step : steps) {
        if (step.click < 0) {
            SortRows();
        } else {
            NMLISTVIEW click = {};
            click.iSubItem = step.click;
            SendNotice(click, LVN_COLUMNCLICK);
        }
        EXPECT_EQ(sortColumn * 10 + sortDirection, step.column * 10 + step.direction);
        EXPECT_EQ(Rows(), step.order) << "after a click on column " << step.click;
    }
    // Progress, failures and results, as the rows show them.
    std::string cells;
    for (const char* name : {"h", "g", "l", "c", "b", "a", "f"}) {
        cells += Cell(RowOf(name), 1) + Cell(RowOf(name), 2) + "|";
    }
    EXPECT_EQ(cells,
              "Reading5...|Connecting1...|Refused|50+2.5s (unused)|90-0.3s (test)|20+0.5s||");
}

TEST_F(ListTray, ServerMenuGreysByTableAndSelection) {
    const UINT items[] = {ID_ADD_SERVER,    ID_DELETE_SERVERS, ID_TEST_SERVERS,  ID_TOGGLE_SERVERS,
                          ID_RESET_SERVERS, ID_RENAME_SERVER,  ID_KEEP_BEST_FOUR};
    const struct {
        int servers, withOutcome;
        bool selection, running;
        const char* greyed; // one letter per item above: g greyed, - enabled
    } cases[] = {
        {4, 4, false, false, "-ggg-gg"}, {6, 5, true, false, "-------"},
        {64, 3, true, false, "g-----g"}, {6, 4, true, true, "------g"},
        {0, 0, false, false, "-ggg-gg"},
    };
    static char names[SERVER_SLOT_COUNT][8];
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        std::vector<Server> servers;
        for (int i = 0; i < c.servers; i++) {
            snprintf(names[i], sizeof names[i], "s%02d", i);
            servers.push_back({names[i], 1, i < c.withOutcome ? NoResponse : None, 0, 0,
                               c.running && i >= c.withOutcome ? Connecting : Idle, 0});
        }
        Install(servers);
        Select({});
        if (c.selection) {
            Select({"s00"});
        }
        HMENU menu = LoadServerMenu();
        ASSERT_NE(menu, nullptr);
        std::string greyed;
        for (UINT item : items) {
            greyed += (GetMenuState(menu, item, MF_BYCOMMAND) & MF_GRAYED) ? 'g' : '-';
        }
        DestroyMenu(menu);
        EXPECT_EQ(greyed, c.greyed) << c.servers << " servers, " << c.withOutcome << " outcomes";
    }
}

// a and c run; c is the last query open, so ending it ends the run.
const std::vector<Server> FOUR = {
    {"a", 1, None, 0, 0, Connecting, 0},
    {"b", 1, Used, 30, 0, Idle, 0},
    {"c", 1, None, 0, 0, Reading, 2},
    {"d", 0, Disabled, 0, 0, Idle, 0},
};

TEST_F(ListTray, DeleteAsksWithTheCountAndActsOnTheSelectionAfterTheAnswer) {
    Install(FOUR);
    Select({"a", "b"});
    {
        // While the question is open, the selection changes to c and d.
        BoxAnswerer ok(IDOK, [] { Select({"c", "d"}); });
        OnListCommand(ID_DELETE_SERVERS);
        EXPECT_EQ(ok.texts,
                  std::vector<std::string>{"Are you sure you want to delete 2 server(s)?"});
        EXPECT_EQ(ok.captions, std::vector<std::string>{"Warning!"});
    }
    EXPECT_EQ(Rows(), "a b ");
    EXPECT_FALSE(Stored(2) || Stored(3) || !Stored(0) || !Stored(1));
    EXPECT_EQ(serverTable[2].status, Interrupted);
    EXPECT_EQ(activeQueries, 1); // a goes on

    // Cancel deletes nothing but still sorts; with nothing selected nothing is asked.
    sortColumn = 0;
    BoxAnswerer cancel(IDCANCEL);
    Select({"a"});
    OnListCommand(ID_DELETE_SERVERS);
    EXPECT_EQ(Rows(), "b a ");
    Select({});
    Key(VK_DELETE);
    EXPECT_EQ(cancel.texts.size(), 1u);
    EXPECT_EQ(Rows(), "b a ");
}

TEST_F(ListTray, ToggleFlipsEachSelectedServerOnceEvenWhenTheRunEndsOnTheWay) {
    Install(FOUR);
    activeQueries = 1; // only c runs: ending it ends the run, which re-sorts the rows
    querySessions[0].phase = Idle;
    Select({"c", "b", "d"});
    OnListCommand(ID_TOGGLE_SERVERS);
    PumpDialog(1000, [] { return !RunGoingOn(); }); // the end of the run, posted
    EXPECT_EQ(serverTable[0].enabled * 1000 + serverTable[1].enabled * 100 +
                  serverTable[2].enabled * 10 + serverTable[3].enabled,
              1001);
    EXPECT_EQ(serverTable[2].status, Interrupted);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(Text(IDOK), "Correct NOW!");
    EXPECT_EQ(Rows(), "a d c b "); // enabled above disabled
}

TEST_F(ListTray, TestStartsTheSelectedServersOnceAndNeverDuringARun) {
    // Loopback addresses where nothing listens (no suite or tool uses 127.0.7.x): refused,
    // after a real round of the network.
    Install({{"127.0.7.1", 1, Used, 5, 0, Idle, 0},
             {"127.0.7.2", 0, Disabled, 0, 0, Idle, 0},
             {"127.0.7.3", 1, Used, 5, 0, Idle, 0}});
    Select({"127.0.7.1", "127.0.7.2"});
    testOnly = 0;
    OnListCommand(ID_TEST_SERVERS);
    EXPECT_EQ(testOnly, 1);
    EXPECT_EQ(activeQueries, 2);
    EXPECT_EQ(Text(IDOK), "Stop Testing...");
    EXPECT_EQ(std::string(TrayTip()), "Testing time servers...");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), "Testing time servers...");
    Select({"127.0.7.3"});
    OnListCommand(ID_TEST_SERVERS); // a run is in progress
    EXPECT_EQ(activeQueries, 2);
    PumpDialog(10000, [] { return !RunGoingOn(); });
    EXPECT_EQ(serverTable[0].status, Refused);
    EXPECT_EQ(serverTable[1].status, Refused);
    EXPECT_EQ(serverTable[2].status, Used);
    EXPECT_EQ(Text(IDOK), "Correct NOW!");
    EXPECT_EQ(std::string(TrayTip()), "");
}

TEST_F(ListTray, ResetInterruptsTheQueriesOpenAfterTheAnswer) {
    Install({{"mine", 1, Used, 5, 0, Idle, 0}});
    {
        BoxAnswerer cancel(IDCANCEL);
        OnListCommand(ID_RESET_SERVERS);
        EXPECT_EQ(cancel.texts,
                  std::vector<std::string>{"Are you sure you want to reset the server list?"});
    }
    EXPECT_EQ(Rows(), "mine ");
    // A run begins while the question is open.
    BoxAnswerer ok(IDOK, [] {
        querySessions[0].phase = Reading;
        activeQueries = 1;
    });
    OnListCommand(ID_RESET_SERVERS);
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(querySessions[0].phase, Idle);
    EXPECT_STREQ(serverTable[0].name, DEFAULT_SERVERS[0]);
    EXPECT_EQ(serverTable[0].status, None); // zeroed after the interruption, not before
    EXPECT_EQ(ListView_GetItemCount(serverListView), DEFAULT_SERVER_COUNT);
    EXPECT_EQ(Text(IDOK), "Correct NOW!");
}

TEST_F(ListTray, NameEditorEndsWithNewTextCancelOrEmptyText) {
    Install({{"running", 1, None, 0, 0, Connecting, 3}});
    const struct {
        int command;
        WPARAM key;         // how the edit ends; 0: the system's report of an emptied editor
        const char* typed;  // the text in the editor then
        int slot;           // the slot edited
        const char* stored; // the name afterwards; "" when the server is gone
    } cases[] = {
        {ID_ADD_SERVER, VK_RETURN, "time.example.org", 1, "time.example.org"},
        {ID_ADD_SERVER, VK_ESCAPE, "never stored", 2, "New Server"},
        {ID_RENAME_SERVER, 0, "", 0, ""},
    };
    for (const auto& c : cases) {
        ListView_SetItemState(serverListView, RowOf("running"), LVIS_FOCUSED, LVIS_FOCUSED);
        OnListCommand(c.command);
        HWND edit = ListView_GetEditControl(serverListView);
        ASSERT_NE(edit, nullptr);
        EXPECT_TRUE(IsNameEditorOpen());
        // Commands go nowhere while the editor is open: this one would stop the run.
        const int32_t open = activeQueries;
        SendMessageA(MainWindow(), WM_COMMAND, IDOK, 0);
        EXPECT_EQ(activeQueries, open);
        SetWindowTextA(edit, c.typed);
        if (c.key != 0) {
            SendMessageA(edit, WM_KEYDOWN, c.key, 0);
        } else {
            // This list control reports an emptied editor as a cancel; the system's own
            // reports the empty text.
            ListView_CancelEditLabel(serverListView);
            NMLVDISPINFOA end = {};
            end.item.mask = LVIF_TEXT;
            end.item.iItem = RowOf("running");
            end.item.pszText = const_cast<char*>(c.typed);
            SendNotice(end, LVN_ENDLABELEDITA);
        }
        EXPECT_FALSE(IsNameEditorOpen());
        EXPECT_STREQ(serverTable[c.slot].name, c.stored);
        EXPECT_EQ(Stored(c.slot), c.stored[0] != 0);
    }
    EXPECT_EQ(serverTable[2].enabled, 1);
    EXPECT_EQ(Rows(), "New Server time.example.org ");
    EXPECT_EQ(activeQueries, 0); // the rename ended the query of the server it removed
}

TEST_F(ListTray, TrayStatesPicturesTipsAndStatusLine) {
    const Ms1900 when = FileTimeToMs1900(133000000000000000ull);
    char whenText[DATE_TIME_TEXT_SIZE];
    FormatDateTime(when, whenText);
    const std::string corrected = std::string("Corrected +1.5s at ") + whenText;
    const std::string failed = "Unsuccessful correction!  Double-click for details...";
    const std::string checking = "Checking time servers...", testing = "Testing time servers...";
    const struct {
        Ms1900 lastTime;
        uint8_t failed;
        TrayMode mode;
        int picture;
        std::string tip, status;
    } cases[] = {
        {0, 0, TrayIdle, IDI_CLOCK, "", ""},
        {when, 0, TrayIdle, IDI_CLOCK, corrected, corrected},
        {when, 1, TrayIdle, IDI_CLOCK_FAILED, failed, corrected},
        {0, 1, TrayIdle, IDI_CLOCK_FAILED, failed, ""},
        {when, 1, TrayChecking, IDI_CLOCK, checking, checking},
        {0, 0, TrayTesting, IDI_CLOCK, testing, testing},
    };
    for (const auto& c : cases) {
        lastCorrectionTime = c.lastTime;
        lastCorrectionValue = 1520;
        lastRunFailed = c.failed;
        UpdateTrayStatus(c.mode);
        EXPECT_EQ(TrayPictureId(), c.picture);
        EXPECT_EQ(std::string(LastTrayNotice().szTip), c.tip);
        EXPECT_EQ(LastTrayNotice().uFlags, static_cast<UINT>(NIF_ICON | NIF_TIP));
        EXPECT_EQ(Text(IDC_STATUS_TEXT), c.status);
        EXPECT_EQ(lastRunFailed, c.mode == TrayIdle ? c.failed : 0);
        // The busy timer animates the picture during a run, keeping the tip.
        std::vector<int> seen;
        PumpDialog(1100, [&] {
            if (seen.empty() || seen.back() != TrayPictureId()) {
                seen.push_back(TrayPictureId());
            }
            return false;
        });
        EXPECT_EQ(seen.size() > 2, c.mode != TrayIdle) << c.tip;
        EXPECT_EQ(std::string(TrayTip()), c.tip);
    }

    // A restarted shell gets the icon back as it was; a double click clears the failure.
    lastCorrectionTime = when;
    lastRunFailed = 1;
    UpdateTrayStatus(TrayIdle);
    SendMessageA(MainWindow(), TaskbarCreatedMessage(), 0, 0);
    EXPECT_EQ(LastTrayNotice().uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(LastTrayNotice().uCallbackMessage, WM_TRAY_NOTIFY);
    EXPECT_EQ(std::string(LastTrayNotice().szTip), failed);
    EXPECT_EQ(TrayPictureId(), IDI_CLOCK_FAILED);
    SendMessageA(MainWindow(), WM_TRAY_NOTIFY, 0, WM_LBUTTONDBLCLK);
    EXPECT_EQ(TrayPictureId(), IDI_CLOCK);
    EXPECT_EQ(std::string(TrayTip()), corrected);
    EXPECT_TRUE(IsWindowVisible(MainWindow()));
}

TEST_F(ListTray, TrayMenuCarriesTheButtonCaptionAndOpensOnce) {
    for (const char* caption : {"Stop Testing...", "¡&Corregir AHORA!", "Correct NOW!"}) {
        SetDlgItemTextA(MainWindow(), IDOK, caption);
        HMENU menu = LoadTrayMenu();
        char item[120] = {};
        GetMenuStringA(GetSubMenu(menu, 0), IDOK, item, sizeof item, MF_BYCOMMAND);
        EXPECT_EQ(std::string(item), std::string("&") + caption);
        EXPECT_EQ(GetMenuDefaultItem(GetSubMenu(menu, 0), FALSE, 0), static_cast<UINT>(ID_OPTIONS));
        DestroyMenu(menu);
    }
    // A click while the menu is open opens nothing; any click keeps a silent start running.
    quitAfterCorrection = 1;
    int openDuring = 0, openAfterSecondClick = 0;
    MenuVisit visit([&] {
        openDuring = trayMenuOpen;
        SendMessageA(MainWindow(), WM_TRAY_NOTIFY, 0, WM_RBUTTONDOWN);
        openAfterSecondClick = trayMenuOpen;
    });
    SendMessageA(MainWindow(), WM_TRAY_NOTIFY, 0, WM_LBUTTONDOWN);
    EXPECT_EQ(openDuring * 10 + openAfterSecondClick, 11);
    EXPECT_EQ(trayMenuOpen, 0);
    EXPECT_EQ(quitAfterCorrection, 0);
}

} // namespace
