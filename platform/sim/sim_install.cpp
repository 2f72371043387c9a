// The simulated install: one folder, its installed file and its temporary one.
#include <cstdio>
#include <cstring>

#include "platform/install.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

SimInstallState install;

bool Named(const char* path, const char* name) {
    char full[INSTALL_PATH_SIZE + 16];
    snprintf(full, sizeof full, "%s\\%s", install.folder, name);
    return install.folder[0] != 0 && strcmp(path, full) == 0;
}

bool IsFile(const char* path) {
    return Named(path, "chronoplex.exe");
}

bool IsTemp(const char* path) {
    return Named(path, "chronoplex.new");
}

bool TrustedOwner(const char* sid) {
    return strcmp(sid, "S-1-5-32-544") == 0 || strcmp(sid, "S-1-5-18") == 0;
}

void Own(char* owner, const char* asked) {
    snprintf(owner, sizeof install.fileOwner, "%s", asked != nullptr ? asked : install.creator);
}

} // namespace

void SimResetInstall() {
    memset(&install, 0, sizeof install);
    snprintf(install.folder, sizeof install.folder, "C:\\Program Files\\Chronoplex");
    install.ownVersion = uint64_t{0x00020001} << 32;
    snprintf(install.creator, sizeof install.creator, "S-1-5-32-544");
    install.folderSafe = true;
    install.fileSafe = true;
}

SimInstallState* SimInstall() {
    return &install;
}

bool PlatformHoldOwnFile() {
    install.ownFileHeld = true;
    return true;
}

bool PlatformInstallFolder(char* folder, uint32_t size) {
    const int written = snprintf(folder, size, "%s", install.folder);
    return install.folder[0] != 0 && written > 0 && static_cast<uint32_t>(written) < size;
}

bool PlatformFolderExists(const char* folder) {
    return install.folderExists && strcmp(folder, install.folder) == 0;
}

bool PlatformFileExists(const char* path) {
    return install.folderExists &&
           ((IsFile(path) && install.fileExists) || (IsTemp(path) && install.tempExists));
}

bool PlatformFileVersion(const char* path, uint64_t* version) {
    if (path == nullptr) {
        *version = install.ownVersion;
        return true;
    }
    if (!PlatformFileExists(path) || !IsFile(path)) {
        return false;
    }
    *version = install.fileVersion;
    return true;
}

bool PlatformMakeFolder(const char* folder, const char* ownerSid) {
    if (install.makeFails || install.folderExists || strcmp(folder, install.folder) != 0) {
        return false;
    }
    install.folderExists = true;
    Own(install.folderOwner, ownerSid);
    return true;
}

// A copy that fails leaves what it wrote so far, the worst a real one could do.
bool PlatformCopyOwnFile(const char* to, const char* ownerSid) {
    if (!install.ownFileHeld || !install.folderExists || !IsTemp(to) || install.tempExists) {
        return false;
    }
    install.tempExists = true;
    Own(install.tempOwner, ownerSid);
    return !install.copyFails;
}

bool PlatformRenameFile(const char* from, const char* to) {
    if (install.renameFails || !IsTemp(from) || !IsFile(to) || !install.tempExists) {
        return false;
    }
    install.tempExists = false;
    install.fileExists = true;
    install.fileVersion = install.ownVersion;
    memcpy(install.fileOwner, install.tempOwner, sizeof install.fileOwner);
    return true;
}

bool PlatformDeleteFile(const char* path) {
    if (!PlatformFileExists(path) || install.held) {
        return false;
    }
    (IsFile(path) ? install.fileExists : install.tempExists) = false;
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
    install.judgements++;
    if (isFolder) {
        return PlatformFolderExists(path) && install.folderSafe;
    }
    install.held = PlatformFileExists(path) && IsFile(path);
    return install.held && install.folderSafe && install.fileSafe &&
           TrustedOwner(install.fileOwner[0] != 0 ? install.fileOwner : install.creator);
}

void PlatformReleasePlace() {
    install.held = false;
}

bool PlatformStartProgram(const char* path, const char* folder) {
    if (install.startFails) {
        return false;
    }
    install.starts++;
    snprintf(install.startedPath, sizeof install.startedPath, "%s", path);
    snprintf(install.startedFolder, sizeof install.startedFolder, "%s", folder);
    return true;
}

void PlatformResumeProgram() {
    install.resumes++;
    install.heldAtResume = install.held;
}

bool PlatformRemoveAtRestart(const char* path) {
    if (install.removalFails || install.pendingCount == 4) {
        return false;
    }
    snprintf(install.pending[install.pendingCount++], sizeof install.pending[0], "%s", path);
    return true;
}
