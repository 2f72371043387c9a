#include "servers/install.h"

#include <cstdio>
#include <cstring>

#include "platform/program_place.h"
#include "platform/registry.h"
#include "servers/logon_task.h"
#include "servers/settings.h"
#include "servers/waits.h"

namespace {

const char INSTALLED_NAME[] = "chronoplex.exe";
const char TEMP_NAME[] = "chronoplex.new";
const char NOTE_CAPTION[] = "Note!";

const char QUESTION_LEAD[] =
    "Chronoplex starts itself at logon with administrator rights only from a folder that only "
    "administrators can change, and the folder it was started from is not one.\n\n";
const char QUESTION_INSTALL[] =
    "Install Chronoplex in %s and start it from there?  It then starts itself at logon.";
const char QUESTION_REPLACE_OLDER[] =
    "Replace the older Chronoplex in %s with this one and start it from there?  It then starts "
    "itself at logon.";
const char QUESTION_REPLACE_SAME[] =
    "Install Chronoplex in %s, in place of the copy of this version there, and start it from "
    "there?  It then starts itself at logon.";
const char QUESTION_START_NEWER[] =
    "A newer Chronoplex is installed in %s.  End this copy and start that one instead?  It "
    "then starts itself at logon.";
const char QUESTION_TAIL[] =
    "\n\nIf you answer No, the schedule goes on each time you start Chronoplex yourself.";

// Each refusal says what to do; the question comes again at the next start, not before.
const char WHY_FOLDER_UNSAFE[] =
    "Chronoplex was not installed: the folder %s is already there, and users other than "
    "administrators can change it.  Delete that folder, or let only administrators change it, "
    "then start Chronoplex again and choose the schedule.";
const char WHY_NO_FOLDER[] =
    "Chronoplex was not installed: Windows did not let it create the folder %s.  Start "
    "Chronoplex again and choose the schedule to try once more.";
const char WHY_NO_COPY[] =
    "Chronoplex was not installed: Windows did not let it copy its file into %s, and nothing "
    "of the attempt was left there.  Start Chronoplex again and choose the schedule to try "
    "once more.";
const char WHY_NO_RENAME[] =
    "Chronoplex was not installed: Windows did not let it put chronoplex.exe in place in %s.  "
    "If a Chronoplex from that folder is running, end it, then start Chronoplex again and "
    "choose the schedule.";
const char WHY_INSTALLED_UNSAFE[] =
    "Chronoplex was not installed: in %s, users other than administrators could change it, so "
    "it was neither started from there nor set to start at logon.  Let only administrators "
    "change that folder and the folders above it, then start Chronoplex again and choose the "
    "schedule.  Until then the schedule goes on each time you start Chronoplex yourself.";
const char WHY_NOT_STARTED[] =
    "Chronoplex is installed in %s, but Windows did not start it from there.  Start "
    "chronoplex.exe in that folder yourself.";

const char REMOVED_AT_RESTART[] =
    "Uninstall complete.  Windows removes %s\\chronoplex.exe, and then the folder if nothing "
    "else is left in it, when it next restarts.";
const char REMOVAL_REFUSED[] =
    "Uninstall complete, but Windows did not accept the removal of Chronoplex's files at the "
    "next restart.  Delete the folder %s yourself.";

bool installOffered = false;

bool JoinPath(char* out, const char* folder, const char* name) {
    const int written = snprintf(out, INSTALL_PATH_SIZE, "%s\\%s", folder, name);
    return written > 0 && static_cast<uint32_t>(written) < INSTALL_PATH_SIZE;
}

InstalledVersion CompareVersions(const char* installedFile) {
    uint64_t own = 0;
    uint64_t installed = 0;
    if (!PlatformFileExists(installedFile)) {
        return INSTALLED_NONE;
    }
    // A file without a version is no newer Chronoplex; this one takes its place.
    if (!PlatformFileVersion(nullptr, &own) || !PlatformFileVersion(installedFile, &installed)) {
        return INSTALLED_OLDER;
    }
    return installed > own ? INSTALLED_NEWER : installed == own ? INSTALLED_SAME : INSTALLED_OLDER;
}

// Only what this attempt made is taken back, in the reverse order of making.
void Undo(const InstallPlan& plan, bool fileWritten, bool folderMade) {
    PlatformDeleteFile(plan.temp);
    if (fileWritten) {
        PlatformDeleteFile(plan.file);
    }
    if (folderMade) {
        PlatformDeleteFolder(plan.folder);
    }
}

// This program's final path, and whether its place is safe; nothing stays held.
bool OwnPlace(char* finalPath, uint32_t size) {
    char own[INSTALL_PATH_SIZE] = {};
    finalPath[0] = 0;
    if (PlatformModuleFileName(own, sizeof own) == 0) {
        return false;
    }
    PlaceHold hold;
    const bool safe = PlatformPlaceSafe(own, finalPath, size, &hold);
    PlatformReleasePlace(&hold);
    return safe;
}

bool Refuse(const char* format, const char* folder, char* why, uint32_t size) {
    snprintf(why, size, format, folder);
    PlatformReleasePlace();
    return false;
}

} // namespace

void ResetInstallGlobals() {
    installOffered = false;
}

bool PlanInstall(InstallPlan* plan) {
    memset(plan, 0, sizeof *plan);
    if (!PlatformInstallFolder(plan->folder, sizeof plan->folder) ||
        !JoinPath(plan->file, plan->folder, INSTALLED_NAME) ||
        !JoinPath(plan->temp, plan->folder, TEMP_NAME)) {
        return false;
    }
    char own[INSTALL_PATH_SIZE];
    OwnPlace(own, sizeof own);
    if (SamePath(own, plan->file)) {
        return false;
    }
    plan->folderExists = PlatformFolderExists(plan->folder);
    plan->installed = plan->folderExists ? CompareVersions(plan->file) : INSTALLED_NONE;
    return true;
}

void InstallQuestion(const InstallPlan& plan, char* text, uint32_t size) {
    const char* offer = plan.installed == INSTALLED_NEWER   ? QUESTION_START_NEWER
                        : plan.installed == INSTALLED_SAME  ? QUESTION_REPLACE_SAME
                        : plan.installed == INSTALLED_OLDER ? QUESTION_REPLACE_OLDER
                                                            : QUESTION_INSTALL;
    char middle[512];
    snprintf(middle, sizeof middle, offer, plan.folder);
    snprintf(text, size, "%s%s%s", QUESTION_LEAD, middle, QUESTION_TAIL);
}

// An existing folder is judged before anything is written into it, and refused rather than
// taken over: a DLL planted there, a temporary name made beforehand or a hard link would
// outlive any change of its owner. A newer copy is judged where it lies and never touched.
bool InstallProgram(const InstallPlan& plan, char* why, uint32_t size) {
    bool folderMade = false;
    if (plan.folderExists) {
        if (!PlatformInstallPlaceSafe(plan.folder, true)) {
            return Refuse(WHY_FOLDER_UNSAFE, plan.folder, why, size);
        }
    } else {
        if (!PlatformMakeFolder(plan.folder, INSTALL_OWNER_SID)) {
            return Refuse(WHY_NO_FOLDER, plan.folder, why, size);
        }
        folderMade = true;
    }
    const bool write = plan.installed != INSTALLED_NEWER;
    if (write) {
        // A temporary file left by an attempt that died lies in a folder judged safe: ours.
        PlatformDeleteFile(plan.temp);
        if (!PlatformCopyOwnFile(plan.temp, INSTALL_OWNER_SID)) {
            Undo(plan, false, folderMade);
            return Refuse(WHY_NO_COPY, plan.folder, why, size);
        }
        if (!PlatformRenameFile(plan.temp, plan.file)) {
            Undo(plan, false, folderMade);
            return Refuse(WHY_NO_RENAME, plan.folder, why, size);
        }
    }
    if (!PlatformInstallPlaceSafe(plan.file, false)) {
        PlatformReleasePlace();
        Undo(plan, write, folderMade);
        return Refuse(WHY_INSTALLED_UNSAFE, plan.folder, why, size);
    }
    return true;
}

// Running before this copy's window ends, the installed copy would take that window for a
// running copy and hand over to it; so it is started held, and let go once the window is gone.
bool StartInstalledCopy(const InstallPlan& plan) {
    if (!PlatformStartProgram(plan.file, plan.folder)) {
        PlatformReleasePlace();
        return false;
    }
    ExitProgram();
    PlatformResumeProgram();
    PlatformReleasePlace();
    return true;
}

bool OfferInstall(WindowHandle owner) {
    if (installOffered) {
        return true;
    }
    installOffered = true;
    InstallPlan plan;
    if (!PlanInstall(&plan)) {
        return false;
    }
    char text[1024];
    InstallQuestion(plan, text, sizeof text);
    if (WaitForBox(owner, text, NOTE_CAPTION, BOX_YESNO | BOX_ICONINFORMATION) != ANSWER_YES ||
        ExitQueued()) {
        return true;
    }
    char why[512];
    if (!InstallProgram(plan, why, sizeof why)) {
        WaitForBox(owner, why, NOTE_CAPTION, BOX_OK | BOX_ICONWARNING);
        return true;
    }
    if (!StartInstalledCopy(plan)) {
        snprintf(why, sizeof why, WHY_NOT_STARTED, plan.folder);
        WaitForBox(owner, why, NOTE_CAPTION, BOX_OK | BOX_ICONWARNING);
    }
    return true;
}

// ---- the uninstall ----

bool FinishUninstall(char* text, uint32_t size) {
    char ownFinal[INSTALL_PATH_SIZE];
    const bool safe = OwnPlace(ownFinal, sizeof ownFinal);
    InstallPlan plan = {};
    const bool installed = safe && PlatformInstallFolder(plan.folder, sizeof plan.folder) &&
                           JoinPath(plan.file, plan.folder, INSTALLED_NAME) &&
                           JoinPath(plan.temp, plan.folder, TEMP_NAME) &&
                           SamePath(ownFinal, plan.file);
    if (!installed) {
        return false;
    }
    // The file first: the folder goes only once it is empty.
    bool registered = PlatformRemoveAtRestart(plan.file);
    if (PlatformFileExists(plan.temp) && !PlatformDeleteFile(plan.temp)) {
        registered = PlatformRemoveAtRestart(plan.temp) && registered;
    }
    registered = PlatformRemoveAtRestart(plan.folder) && registered;
    snprintf(text, size, registered ? REMOVED_AT_RESTART : REMOVAL_REFUSED, plan.folder);
    return true;
}
