// The simulated install: one folder, its installed file and its temporary one.
#include <cstdio>
#include <cstring>

#include "platform/install.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

SimInstallState install;
const char FOLDER[] = "C:\\Program Files\\Chronoplex";
const char FILE_PATH[] = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
const char TEMP_PATH[] = "C:\\Program Files\\Chronoplex\\chronoplex.new";
constexpr uint64_t OWN_VERSION = uint64_t{0x00020001} << 32;

void Own(char* owner, const char* asked) {
    snprintf(owner, sizeof install.fileOwner, "%s",
             asked != nullptr ? asked
             : install.uacOff ? "S-1-5-21-1-2-3-1001"
                              : INSTALL_OWNER_SID);
}

} // namespace

void SimResetInstall() {
    memset(&install, 0, sizeof install);
    install.folderSafe = install.fileSafe = true;
}

SimInstallState* SimInstall() {
    return &install;
}

bool PlatformHoldOwnFile() {
    return install.ownFileHeld = true;
}

bool PlatformInstallFolder(char* folder, uint32_t size) {
    return snprintf(folder, size, "%s", FOLDER) < static_cast<int>(size);
}

bool PlatformFolderExists(const char* folder) {
    return install.folderExists && strcmp(folder, FOLDER) == 0;
}

bool PlatformFileExists(const char* path) {
    return (strcmp(path, FILE_PATH) == 0 && install.fileExists) ||
           (strcmp(path, TEMP_PATH) == 0 && install.tempExists);
}

bool PlatformFileVersion(const char* path, uint64_t* version) {
    *version = path == nullptr ? OWN_VERSION : install.fileVersion;
    return path == nullptr || (strcmp(path, FILE_PATH) == 0 && install.fileExists);
}

bool PlatformMakeFolder(const char* folder, const char* ownerSid) {
    if (install.folderExists || strcmp(folder, FOLDER) != 0) {
        return false;
    }
    Own(install.folderOwner, ownerSid);
    return install.folderExists = true;
}

// A copy that fails leaves what it wrote so far, the worst a real one could do.
bool PlatformCopyOwnFile(const char* to, const char* ownerSid) {
    if (!install.ownFileHeld || !install.folderExists || strcmp(to, TEMP_PATH) != 0 ||
        install.tempExists) {
        return false;
    }
    Own(install.tempOwner, ownerSid);
    install.tempExists = true;
    return !install.copyFails;
}

bool PlatformRenameFile(const char* from, const char* to) {
    if (install.renameFails || !install.tempExists || strcmp(from, TEMP_PATH) != 0 ||
        strcmp(to, FILE_PATH) != 0) {
        return false;
    }
    install.tempExists = false;
    install.fileExists = true;
    install.fileVersion = OWN_VERSION;
    memcpy(install.fileOwner, install.tempOwner, sizeof install.fileOwner);
    return true;
}

bool PlatformDeleteFile(const char* path) {
    if (!PlatformFileExists(path) || install.held) {
        return false;
    }
    (strcmp(path, FILE_PATH) == 0 ? install.fileExists : install.tempExists) = false;
    return true;
}

bool PlatformDeleteFolder(const char* folder) {
    if (!PlatformFolderExists(folder) || install.fileExists || install.tempExists) {
        return false;
    }
    install.folderExists = false;
    return true;
}

bool PlatformInstallPlaceSafe(const char* path, bool isFolder) {
    if (isFolder) {
        return PlatformFolderExists(path) && install.folderSafe;
    }
    install.held = strcmp(path, FILE_PATH) == 0 && install.fileExists;
    return install.held && install.folderSafe && install.fileSafe &&
           strcmp(install.fileOwner, INSTALL_OWNER_SID) == 0;
}

void PlatformReleasePlace() {
    install.held = false;
}

bool PlatformStartProgram(const char* path, const char* folder) {
    install.starts++;
    snprintf(install.started, sizeof install.started, "%s|%s", path, folder);
    return true;
}

void PlatformResumeProgram() {
    install.resumes++;
    install.heldAtResume = install.held;
}

bool PlatformRemoveAtRestart(const char* path) {
    if (install.pendingCount == 4) {
        return false;
    }
    snprintf(install.pending[install.pendingCount++], sizeof install.pending[0], "%s", path);
    return true;
}
