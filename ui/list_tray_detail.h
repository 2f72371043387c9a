// The server list's and the tray icon's inner operations and state: what the window code
// shares between its files, and what the window tests look at.
#pragma once
#include <windows.h>
#include <shellapi.h>

// ---- server list (ui/list_view.cpp) ----
extern int sortColumn;    // 0 name, 1 latency, 2 correction
extern int sortDirection; // +1 or -1

// Negative puts slotA's row above slotB's, positive below.
int CompareRows(int slotA, int slotB);
// The server menu with its items greyed for the table and selection as they are now; the
// caller tracks and destroys it. Null when the menu cannot be loaded.
HMENU LoadServerMenu();
void ShowServerMenu(bool atCursor);
void DeleteSelectedServers();
void ToggleSelectedServers();
void TestSelectedServers();

// ---- tray icon (ui/tray.cpp) ----
extern int trayBlink;    // the animation frame that comes next
extern int trayMenuOpen; // the tray menu is being tracked

// The tray menu as it opens now: first item the default, the second carrying the button's
// caption. The caller tracks and destroys it; null when it cannot be loaded.
HMENU LoadTrayMenu();
// The icon as last handed to the shell: its picture's resource id (0 before the first), its
// tip, and the last record sent.
int TrayPictureId();
const char* TrayTip();
const NOTIFYICONDATAA& LastTrayNotice();
