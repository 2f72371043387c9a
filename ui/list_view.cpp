// The server list: a report view of the server table, its sort order, its context menu and
// the commands that edit the table through it.
//
// Rows carry their slot number as user data and move with every sort, so a row is always
// found by its slot and a slot by its row's user data, never by position.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "query/query.h"
#include "servers/server_record.h"
#include "servers/server_table.h"
#include "time/duration.h"
#include "ui/dialog.h"
#include "ui/list_tray_detail.h"
#include "ui/resource.h"

int sortColumn = 1;
int sortDirection = -1;

namespace {

constexpr int IMAGE_SIDE_96DPI = 11;
constexpr int ENABLED_IMAGE = 0;
constexpr int NO_IMAGE = 1; // past the one image the list holds: a disabled server shows none
constexpr int COLUMN_TEXT_SIZE = 64;
constexpr int ANSWERED_KEY = 102;

bool serverMenuOpen = false;

bool ValidSlot(int slot) {
    return slot >= 0 && slot < SERVER_SLOT_COUNT;
}

int RowCount() {
    return static_cast<int>(SendMessageA(serverListView, LVM_GETITEMCOUNT, 0, 0));
}

int FindRow(int slot) {
    LVFINDINFOA find = {};
    find.flags = LVFI_PARAM;
    find.lParam = slot;
    return static_cast<int>(
        SendMessageA(serverListView, LVM_FINDITEMA, static_cast<WPARAM>(-1), (LPARAM)&find));
}

// The slot a row stands for, or -1 for no such row.
int RowSlot(int row) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (row < 0 || !SendMessageA(serverListView, LVM_GETITEMA, 0, (LPARAM)&item)) {
        return -1;
    }
    return ValidSlot(static_cast<int>(item.lParam)) ? static_cast<int>(item.lParam) : -1;
}

int NextRow(int after, UINT flags) {
    return static_cast<int>(
        SendMessageA(serverListView, LVM_GETNEXTITEM, static_cast<WPARAM>(after), flags));
}

// The slots of the selected rows, top to bottom. Taken in one go because the commands below
// end queries, and the end of a run re-sorts the rows under a walk that goes by position.
int SelectedSlots(int* slots) {
    int count = 0;
    for (int row = NextRow(-1, LVNI_SELECTED); row >= 0 && count < SERVER_SLOT_COUNT;
         row = NextRow(row, LVNI_SELECTED)) {
        const int slot = RowSlot(row);
        if (slot >= 0) {
            slots[count++] = slot;
        }
    }
    return count;
}

// Writing an unchanged text still repaints the cell; during a run the value columns are
// rewritten five times a second, mostly with what they already show.
void SetCellText(int row, int column, const char* text) {
    char shown[COLUMN_TEXT_SIZE] = {};
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = shown;
    item.cchTextMax = sizeof shown;
    SendMessageA(serverListView, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), (LPARAM)&item);
    if (strcmp(shown, text) == 0) {
        return;
    }
    item.pszText = const_cast<char*>(text);
    SendMessageA(serverListView, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), (LPARAM)&item);
}

// The two value columns of a slot: the query's progress while it runs, else its outcome.
void ComposeValueTexts(int slot, char* latencyText, char* correctionText) {
    const ServerRecord& record = serverTable[slot];
    const QuerySession& session = querySessions[slot];
    latencyText[0] = 0;
    correctionText[0] = 0;
    switch (session.phase) {
    case Resolving:
        snprintf(latencyText, COLUMN_TEXT_SIZE, "DNS Lookup...");
        return;
    case Connecting:
        snprintf(latencyText, COLUMN_TEXT_SIZE, "Connecting%d...", session.sampleIndex + 1);
        return;
    case Reading:
        snprintf(latencyText, COLUMN_TEXT_SIZE, "Reading%d...", session.sampleIndex + 1);
        return;
    // Between two samples the query holds off so as not to ask the server too often; said so,
    // a row that stays put for four seconds does not look stuck in a connection.
    case Waiting:
        snprintf(latencyText, COLUMN_TEXT_SIZE, "Waiting%d...", session.sampleIndex + 1);
        return;
    default:
        break;
    }
    if (StatusText(record.status) != nullptr) {
        snprintf(latencyText, COLUMN_TEXT_SIZE, "%s", StatusText(record.status));
        return;
    }
    if (!IsAnswered(record.status)) {
        return;
    }
    // Unsigned: a latency is never negative, whatever a stored record holds.
    snprintf(latencyText, COLUMN_TEXT_SIZE, "%u", static_cast<unsigned>(record.latency));
    char duration[DURATION_TEXT_SIZE];
    FormatDuration(record.correction, duration);
    const char* suffix = record.status == Rejected ? " (unused)"
                         : record.status == Tested ? " (test)"
                                                   : "";
    snprintf(correctionText, COLUMN_TEXT_SIZE, "%s%s", duration, suffix);
}

// Each row added or removed would otherwise redraw the list and its scroll bar at once; a
// pass that loads the whole table adds up to 64.
void PauseDrawing(bool* paused) {
    if (!*paused) {
        *paused = true;
        SendMessageA(serverListView, WM_SETREDRAW, FALSE, 0);
    }
}

// A new row carries only its slot; its texts follow at once.
int AppendRow(int slot) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = RowCount();
    item.lParam = slot;
    SendMessageA(serverListView, LVM_INSERTITEMA, 0, (LPARAM)&item);
    return FindRow(slot);
}

void SetRowNameAndImage(int row, const ServerRecord& record) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = row;
    item.pszText = const_cast<char*>(record.name);
    item.iImage = record.enabled != 0 ? ENABLED_IMAGE : NO_IMAGE;
    SendMessageA(serverListView, LVM_SETITEMA, 0, (LPARAM)&item);
}

// The order key of a slot: its status, the answered codes as one class, and a running query
// by how far it has got (-7 to -1).
int SortKey(int slot) {
    const int32_t status = serverTable[slot].status;
    int key = status < Rejected ? status : ANSWERED_KEY;
    if (querySessions[slot].phase != Idle && key == None) {
        key = querySessions[slot].sampleIndex - SAMPLE_COUNT;
    }
    return key;
}

int CALLBACK CompareRowsCallback(LPARAM slotA, LPARAM slotB, LPARAM) {
    return CompareRows(static_cast<int>(slotA), static_cast<int>(slotB));
}

void OpenNameEditor(int row) {
    if (row < 0) {
        return;
    }
    // The list starts an edit only while it has the keyboard focus.
    SetFocus(serverListView);
    SendMessageA(serverListView, LVM_EDITLABELA, static_cast<WPARAM>(row), 0);
}

void AddNewServer() {
    const int slot = AddServer("New Server");
    if (slot < 0) {
        return;
    }
    UpdateServer(slot);
    OpenNameEditor(FindRow(slot));
}

void RenameFocusedServer() {
    OpenNameEditor(NextRow(-1, LVNI_FOCUSED));
}

// A box lets messages in, and the exit command from the tray menu can destroy the window
// under it; then there is no list left to act on, whatever the answer was.
bool AskWarning(const char* text) {
    const int answer = WaitForBox(MainWindow(), text, "Warning!", MB_OKCANCEL | MB_ICONWARNING);
    return answer == IDOK && IsWindow(serverListView);
}

void ResetServers() {
    if (!AskWarning("Are you sure you want to reset the server list?")) {
        return;
    }
    // The table is zeroed below: a query still open would later write its outcome into
    // whichever default server took its slot, and the end of the run it stops (whose finished
    // servers still correct the clock) goes by the list as it was.
    StopRuns();
    ResetServerList();
    SortRows();
}

void GreyItem(HMENU menu, UINT command, bool grey) {
    if (!grey) {
        return;
    }
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STATE;
    info.fState = MFS_GRAYED;
    SetMenuItemInfoA(menu, command, FALSE, &info);
}

BOOL OnListKey(WORD key) {
    MSG typed;
    switch (key) {
    case VK_RETURN:
        // The key's own carriage return is already queued behind it; the menu's loop would
        // take it as a choice of nothing and close the menu as soon as it opened.
        PeekMessageA(&typed, serverListView, WM_CHAR, WM_CHAR, PM_REMOVE);
        ShowServerMenu(false);
        return TRUE;
    case VK_APPS:
        ShowServerMenu(false);
        return TRUE;
    case VK_DELETE:
        DeleteSelectedServers();
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL OnColumnClick(int column) {
    if (column == sortColumn) {
        sortDirection = -sortDirection;
    } else {
        sortColumn = column;
        sortDirection = 1;
    }
    SortRows();
    return TRUE;
}

// The list must not store the edited text itself: the row may be gone by now (an empty name
// deletes the server), and then the edited position names another row. The refresh has
// already written what the table holds.
void RejectListEdit() {
    SetWindowLongPtrA(GetParent(serverListView), DWLP_MSGRESULT, FALSE);
}

void RenameServer(int row, const char* text) {
    const int slot = RowSlot(row);
    if (slot < 0) {
        return;
    }
    EndQuery(slot, Interrupted);
    ServerRecord& record = serverTable[slot];
    const size_t length = strnlen(text, SERVER_NAME_SIZE - 1);
    memcpy(record.name, text, length);
    record.name[length] = 0;
    UpdateServer(slot);
    SortRows();
}

BOOL OnEndLabelEdit(const NMLVDISPINFOA* info) {
    if ((info->item.mask & LVIF_TEXT) != 0 && info->item.pszText != nullptr) {
        RenameServer(info->item.iItem, info->item.pszText);
    }
    RejectListEdit();
    return TRUE;
}

// A list that talks Unicode to its parent (the parent decides) sends the wide form.
BOOL OnEndLabelEditWide(const NMLVDISPINFOW* info) {
    if ((info->item.mask & LVIF_TEXT) != 0 && info->item.pszText != nullptr) {
        char text[SERVER_NAME_SIZE * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, info->item.pszText, -1, text, sizeof text - 1, nullptr,
                            nullptr);
        RenameServer(info->item.iItem, text);
    }
    RejectListEdit();
    return TRUE;
}

} // namespace

// The dialog manager takes Enter for the default button before the list sees it; the list asks
// for it itself, so that Enter opens the server menu as the Apps key does.
static LRESULT CALLBACK ListKeysProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR) {
    if (message == WM_GETDLGCODE && lParam != 0) {
        const MSG* key = reinterpret_cast<const MSG*>(lParam);
        if (key->message == WM_KEYDOWN && key->wParam == VK_RETURN) {
            return DefSubclassProc(list, message, wParam, lParam) | DLGC_WANTMESSAGE;
        }
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

void InitServerList() {
    SetWindowSubclass(serverListView, ListKeysProc, 0, 0);
    // The program declares itself aware of the display's scale, so nothing enlarges its
    // pictures: the row image is made at the scale of the screen from the icon's nearest size.
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    ReleaseDC(nullptr, screen);
    const int side = MulDiv(IMAGE_SIDE_96DPI, dpi > 0 ? dpi : 96, 96);
    HIMAGELIST images = ImageList_Create(side, side, ILC_COLOR32 | ILC_MASK, 1, 1);
    HICON icon = static_cast<HICON>(LoadImageA(programInstance, MAKEINTRESOURCEA(IDI_CLOCK_ALT),
                                               IMAGE_ICON, side, side, LR_DEFAULTCOLOR));
    if (images != nullptr && icon != nullptr) {
        ImageList_AddIcon(images, icon);
    }
    if (icon != nullptr) {
        DestroyIcon(icon);
    }
    // The list destroys its image list with itself.
    SendMessageA(serverListView, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)images);
    SetListBackground();

    RECT client = {};
    GetClientRect(serverListView, &client);
    const int width = client.right - client.left;
    static const struct {
        const char* title;
        int percent;
    } columns[] = {{"Time Server", 50}, {"Latency (ms)", 25}, {"Correction", 25}};
    for (int i = 0; i < 3; i++) {
        LVCOLUMNA column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = width * columns[i].percent / 100;
        column.pszText = const_cast<char*>(columns[i].title);
        column.iSubItem = i;
        SendMessageA(serverListView, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i), (LPARAM)&column);
    }
}

void SetListBackground() {
    SendMessageA(serverListView, LVM_SETBKCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_WINDOW)));
}

INT_PTR OnListNotify(const NMHDR* header) {
    switch (header->code) {
    case LVN_KEYDOWN:
        return OnListKey(reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey);
    case NM_RCLICK:
        ShowServerMenu(true);
        return TRUE;
    case LVN_COLUMNCLICK:
        return OnColumnClick(reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem);
    case LVN_ENDLABELEDITA:
        return OnEndLabelEdit(reinterpret_cast<const NMLVDISPINFOA*>(header));
    case LVN_ENDLABELEDITW:
        return OnEndLabelEditWide(reinterpret_cast<const NMLVDISPINFOW*>(header));
    default:
        return FALSE;
    }
}

void OnListCommand(int command) {
    switch (command) {
    case ID_ADD_SERVER:
        AddNewServer();
        break;
    case ID_DELETE_SERVERS:
        DeleteSelectedServers();
        break;
    case ID_TOGGLE_SERVERS:
        ToggleSelectedServers();
        break;
    case ID_TEST_SERVERS:
        TestSelectedServers();
        break;
    case ID_RESET_SERVERS:
        ResetServers();
        break;
    case ID_RENAME_SERVER:
        RenameFocusedServer();
        break;
    case ID_KEEP_BEST_FOUR:
        KeepBestFour();
        break;
    default:
        break;
    }
}

bool IsNameEditorOpen() {
    return serverListView != nullptr && SendMessageA(serverListView, LVM_GETEDITCONTROL, 0, 0) != 0;
}

void CancelNameEdit() {
    if (IsNameEditorOpen()) {
        SendMessageA(serverListView, LVM_CANCELEDITLABEL, 0, 0);
    }
}

void RefreshListRows(bool textsOnly) {
    bool paused = false;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        querySessions[slot].dirty = 0;
        const ServerRecord& record = serverTable[slot];
        const bool free = IsFreeSlot(record);
        if (serverListView == nullptr || (textsOnly && free)) {
            continue;
        }
        int row = FindRow(slot);
        if (free) {
            if (row >= 0) {
                PauseDrawing(&paused);
                SendMessageA(serverListView, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
            }
            continue;
        }
        if (!textsOnly) {
            if (row < 0) {
                PauseDrawing(&paused);
                row = AppendRow(slot);
            }
            SetRowNameAndImage(row, record);
        }
        if (row < 0) {
            continue;
        }
        char latencyText[COLUMN_TEXT_SIZE];
        char correctionText[COLUMN_TEXT_SIZE];
        ComposeValueTexts(slot, latencyText, correctionText);
        SetCellText(row, 1, latencyText);
        SetCellText(row, 2, correctionText);
    }
    if (paused) {
        SendMessageA(serverListView, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(serverListView, nullptr, TRUE);
    }
}

void RefreshDirtyRows() {
    bool anyDirty = false;
    for (const QuerySession& session : querySessions) {
        anyDirty = anyDirty || session.dirty != 0;
    }
    if (!anyDirty) {
        return;
    }
    RefreshListRows(true);
    // Rows sorted by name do not move when values change.
    if (sortColumn != 0) {
        SortRows();
    }
}

void SortRows() {
    SendMessageA(serverListView, LVM_SORTITEMS, 0, (LPARAM)CompareRowsCallback);
}

int CompareRows(int slotA, int slotB) {
    if (!ValidSlot(slotA) || !ValidSlot(slotB)) {
        return 0;
    }
    const ServerRecord& a = serverTable[slotA];
    const ServerRecord& b = serverTable[slotB];
    if (sortColumn == 0) {
        return sortDirection * lstrcmpA(a.name, b.name);
    }
    // Only the sign counts; a difference of two stored values could overflow.
    if (a.enabled != b.enabled) {
        return b.enabled > a.enabled ? 1 : -1;
    }
    const int keyA = SortKey(slotA);
    const int keyB = SortKey(slotB);
    const int byStatus = sortColumn == 1 ? sortDirection : 1;
    int result = 0;
    if (keyA < keyB) {
        result = byStatus;
    } else if (keyA > keyB) {
        result = -byStatus;
    } else if (keyA == ANSWERED_KEY) {
        const bool less = sortColumn == 1 ? a.latency < b.latency : a.correction < b.correction;
        const bool more = sortColumn == 1 ? a.latency > b.latency : a.correction > b.correction;
        result = less ? -sortDirection : more ? sortDirection : 0;
    }
    return result != 0 ? result : lstrcmpA(a.name, b.name);
}

HMENU LoadServerMenu() {
    HMENU popup = nullptr;
    HMENU menu = LoadPopupMenu(IDR_SERVER_MENU, &popup);
    if (menu == nullptr) {
        return nullptr;
    }
    int occupied = 0;
    int withOutcome = 0;
    for (const ServerRecord& record : serverTable) {
        if (!IsFreeSlot(record)) {
            occupied++;
            withOutcome += HasOutcome(record.status) ? 1 : 0;
        }
    }
    const bool noSelection = NextRow(-1, LVNI_SELECTED) < 0;
    GreyItem(popup, ID_KEEP_BEST_FOUR, withOutcome <= KEEP_BEST_COUNT);
    GreyItem(popup, ID_ADD_SERVER, occupied == SERVER_SLOT_COUNT);
    GreyItem(popup, ID_DELETE_SERVERS, noSelection);
    GreyItem(popup, ID_TOGGLE_SERVERS, noSelection);
    GreyItem(popup, ID_RENAME_SERVER, noSelection);
    GreyItem(popup, ID_TEST_SERVERS, noSelection);
    return menu;
}

void ShowServerMenu(bool atCursor) {
    // The menu's loop lets a second right click through to the list.
    if (serverMenuOpen) {
        return;
    }
    HMENU menu = LoadServerMenu();
    if (menu == nullptr) {
        return;
    }
    POINT at = {0, 0};
    if (atCursor) {
        GetCursorPos(&at);
    } else {
        ClientToScreen(serverListView, &at);
    }
    serverMenuOpen = true;
    // The choice arrives later as a posted WM_COMMAND, once the menu is gone; each command
    // looks at the table and the selection again then, so nothing here is taken on trust.
    WaitForMenu(MainWindow(), GetSubMenu(menu, 0), at.x, at.y);
    serverMenuOpen = false;
    DestroyMenu(menu);
}

void DeleteSelectedServers() {
    const int count = static_cast<int>(SendMessageA(serverListView, LVM_GETSELECTEDCOUNT, 0, 0));
    if (count <= 0) {
        return;
    }
    char question[80];
    snprintf(question, sizeof question, "Are you sure you want to delete %d server(s)?", count);
    if (AskWarning(question)) {
        // The selection as it is now: the list went on living while the question was open.
        int slots[SERVER_SLOT_COUNT];
        const int selected = SelectedSlots(slots);
        for (int i = 0; i < selected; i++) {
            EndQuery(slots[i], Interrupted);
            serverTable[slots[i]].name[0] = 0;
            UpdateServer(slots[i]);
        }
    }
    SortRows();
}

void ToggleSelectedServers() {
    int slots[SERVER_SLOT_COUNT];
    const int selected = SelectedSlots(slots);
    for (int i = 0; i < selected; i++) {
        EndQuery(slots[i], Interrupted);
        // Only a server still there: ending the last query ends the run, which may prune.
        if (!IsFreeSlot(serverTable[slots[i]])) {
            serverTable[slots[i]].enabled ^= 1;
            UpdateServer(slots[i]);
        }
    }
    SortRows();
}

void TestSelectedServers() {
    int slots[SERVER_SLOT_COUNT];
    const int selected = SelectedSlots(slots);
    if (selected == 0 || RunGoingOn()) {
        return;
    }
    testOnly = 1;
    // A query that fails while it starts must not end the run before the rest have started.
    BeginStartingQueries();
    for (int i = 0; i < selected; i++) {
        StartQuery(slots[i]);
    }
    FinishStartingQueries();
}
