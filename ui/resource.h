// Resource identifiers of the program, grouped by kind. Plain numbers, so that the resource
// compiler and the C++ code both read this file.
#pragma once

// Icons
#define IDI_CLOCK 1
#define IDI_CLOCK_ALT 2
#define IDI_CLOCK_FAILED 3

// Dialog layouts
#define IDD_MAIN 101

// Menus
#define IDR_TRAY_MENU 102
#define IDR_SERVER_MENU 103

// Controls of IDD_MAIN (the buttons IDOK 1 and IDCANCEL 2 are the platform's)
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif
#define IDC_SERVER_LIST 1002
#define IDC_SCHEDULE_SLIDER 1004
#define IDC_OFFSET_EDIT 1009
#define IDC_SCHEDULE_LABEL 1010
#define IDC_CLOCK_TEXT 1011
#define IDC_STATUS_TEXT 1012
#define IDC_CORRECT_ON_LAUNCH 1013

// Commands
#define ID_RUN_IF_IDLE 6
#define ID_OPTIONS 40003
#define ID_EXIT 40006
#define ID_ADD_SERVER 40007
#define ID_DELETE_SERVERS 40008
#define ID_TOGGLE_SERVERS 40009
#define ID_RESET_SERVERS 40010
#define ID_RENAME_SERVER 40011
#define ID_TEST_SERVERS 40012
#define ID_KEEP_BEST_FOUR 40013
