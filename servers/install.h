// The install: from a place that a standard user can change, the program offers, once a person
// has chosen a schedule, to install itself where only administrators can change it and to go
// on from there; and the uninstall of that installed copy takes its files with it.
#pragma once
#include <cstdint>

#include "platform/install.h"
#include "platform/window.h"

enum InstalledVersion { INSTALLED_NONE, INSTALLED_OLDER, INSTALLED_SAME, INSTALLED_NEWER };

struct InstallPlan {
    char folder[INSTALL_PATH_SIZE]; // "<Program Files>\Chronoplex"
    char file[INSTALL_PATH_SIZE];   // its chronoplex.exe
    char temp[INSTALL_PATH_SIZE];   // the name the copy is written under before the rename
    bool folderExists;
    InstalledVersion installed;
};

// The folder and what lies in it now. False when there is nothing to offer: Windows names no
// folder, or this copy is the one in it already.
bool PlanInstall(InstallPlan* plan);

// The question: where, and whether the copy there is replaced or, being newer, started.
void InstallQuestion(const InstallPlan& plan, char* text, uint32_t size);

// Installs as planned: the folder judged before anything is written into it, or made owned by
// Administrators; this program's file copied under the temporary name and renamed; the
// installed place judged. True when it is safe, and then held until StartInstalledCopy. False
// with what went wrong in why; nothing of the attempt is left then (no temporary file, no file
// or folder this attempt made) and nothing is held.
bool InstallProgram(const InstallPlan& plan, char* why, uint32_t size);

// Ends this copy's window, starts the installed copy from its folder and lets the place go.
// False when it could not be started, with the window still there.
bool StartInstalledCopy(const InstallPlan& plan);

// When the program's place is unsafe and a person chose a schedule: asks, and on Yes installs
// and hands over, or says what went wrong. At most once per process; a No holds until the next
// start. False when there was nothing to offer, so that the caller says what it said before.
bool OfferInstall(WindowHandle owner);

// ---- the uninstall ----

// The end of an uninstall, after its entries (RemoveEntriesOfThisFile, servers/settings.h) and
// the settings are gone. A copy is the installed one when its final path is the install path
// and its place is safe: then its file, a leftover temporary file and then its folder, if
// empty by then, are registered for removal at the next restart, and the result is true with
// the last text in text. Any other copy's files are the user's: false.
bool FinishUninstall(char* text, uint32_t size);

// Puts this module's globals back to their start values (for tests).
void ResetInstallGlobals();
