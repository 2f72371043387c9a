// The plainest dialog program, the anchor of the whole-program figures: what any program with
// one dialog costs to start and to keep under the same Wine. Shared by its resource script and
// by the driver that looks for its window.
#pragma once

#define MINIMAL_TITLE "Minimal dialog"
#define IDD_MINIMAL 101
#define IDC_MINIMAL_TEXT 1000
