// The install's one door to the judge of places, and the hold on what it judged.
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "platform/install.h"
#include "platform/program_place.h"

namespace {

HANDLE heldFile = INVALID_HANDLE_VALUE;
HANDLE heldFolder = INVALID_HANDLE_VALUE;

// Opened without write or delete sharing, the file can be neither replaced nor renamed, and
// the folder neither renamed nor deleted; starting the file, which only reads it, still works.
bool Hold(const char* path) {
    char folder[INSTALL_PATH_SIZE];
    if (strlen(path) >= sizeof folder) {
        return false;
    }
    strcpy(folder, path);
    char* slash = strrchr(folder, '\\');
    if (slash == nullptr) {
        return false;
    }
    *slash = 0;
    heldFolder = CreateFileA(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    heldFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return heldFolder != INVALID_HANDLE_VALUE && heldFile != INVALID_HANDLE_VALUE;
}

} // namespace

void PlatformReleasePlace() {
    for (HANDLE* held : {&heldFile, &heldFolder}) {
        if (*held != INVALID_HANDLE_VALUE) {
            CloseHandle(*held);
            *held = INVALID_HANDLE_VALUE;
        }
    }
}

// The place is held first and judged after, so that what is judged is what stays.
bool PlatformInstallPlaceSafe(const char* path, bool isFolder) {
    PlatformReleasePlace();
    if (!isFolder && !Hold(path)) {
        return false;
    }
    return PlatformPathPlaceSafe(path, isFolder);
}
