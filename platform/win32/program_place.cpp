// Whether the program's place is safe for an elevated start: its final path, the drive it lies
// on, and the owner and DACL of the file and of every folder up to the drive's root.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "platform/program_place.h"
#include "platform/win32/place_rule.h"

namespace {

// Administrators, SYSTEM and TrustedInstaller (NT SERVICE\TrustedInstaller, the service SID
// that Windows derives from the service's name).
const char* const TRUSTED_SIDS[] = {
    "S-1-5-32-544",
    "S-1-5-18",
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};
const char OWNER_RIGHTS_SID[] = "S-1-3-4";

// The longest path the program registers: the platform's 260 characters and the zero.
constexpr DWORD PATH_SIZE = MAX_PATH + 1;

// A SID as text, compared as text: the string form is unique for a SID, and there is no name
// in it to be translated or spoofed.
bool SidIs(PSID sid, const char* wanted) {
    char* text = nullptr;
    if (sid == nullptr || !IsValidSid(sid) || !ConvertSidToStringSidA(sid, &text)) {
        return false;
    }
    const bool same = strcmp(text, wanted) == 0;
    LocalFree(text);
    return same;
}

bool Trusted(PSID sid) {
    for (const char* trusted : TRUSTED_SIDS) {
        if (SidIs(sid, trusted)) {
            return true;
        }
    }
    return false;
}

DWORD ForbiddenRights(PlaceRole role) {
    const DWORD always = DELETE | WRITE_DAC | WRITE_OWNER;
    switch (role) {
    case PLACE_FILE:
        return always | FILE_WRITE_DATA | FILE_APPEND_DATA;
    case PLACE_OWN_FOLDER:
        // A file added beside the program may be a DLL that it loads.
        return always | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;
    case PLACE_FOLDER_ABOVE:
        return always | FILE_DELETE_CHILD;
    }
    return always;
}

// "X:\..." on a fixed drive that is a volume of its own. A network path (\\server\share) or
// any other form, a removable, remote or optical drive, and a drive letter that SUBST made
// (its device is a path, "\??\C:\folder") are not; a mapped network letter reports itself as
// remote. Only the drive letter is asked about, never the file, so a dead share cannot hold
// the program up here.
bool OnLocalFixedDrive(const char* path) {
    const char letter = path[0];
    if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) || path[1] != ':' ||
        path[2] != '\\') {
        return false;
    }
    const char root[] = {letter, ':', '\\', 0};
    if (GetDriveTypeA(root) != DRIVE_FIXED) {
        return false;
    }
    const char device[] = {letter, ':', 0};
    char target[PATH_SIZE] = {};
    if (QueryDosDeviceA(device, target, sizeof target) == 0) {
        return false;
    }
    return strncmp(target, "\\??\\", 4) != 0 && strncmp(target, "\\DosDevices\\", 12) != 0;
}

using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);

// The file's path with every link and junction resolved, "\\?\" taken off. Windows before
// Vista has no such call; there a junction cannot be seen through, so nothing counts as found.
bool FinalPath(const char* modulePath, char* out, DWORD size) {
    const auto finalPathOf = reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
    if (finalPathOf == nullptr) {
        return false;
    }
    // Backup semantics open a folder too; a file opens as before.
    HANDLE file = CreateFileA(modulePath, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char resolved[PATH_SIZE + 8];
    const DWORD length = finalPathOf(file, resolved, sizeof resolved, 0);
    CloseHandle(file);
    if (length == 0 || length >= sizeof resolved) {
        return false;
    }
    // "\\?\UNC\server\share\..." stays as it is and fails the drive test.
    const char* path = resolved;
    if (strncmp(path, "\\\\?\\", 4) == 0 && strncmp(path + 4, "UNC\\", 4) != 0) {
        path += 4;
    }
    if (strlen(path) >= size) {
        return false;
    }
    strcpy(out, path);
    return true;
}

bool ObjectSafe(const char* path, PlaceRole role) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
        descriptor == nullptr) {
        return false;
    }
    const bool safe = PlaceDescriptorSafe(descriptor, role);
    LocalFree(descriptor);
    return safe;
}

// The file, its folder, and each folder above it as the final path writes them, the drive's
// root ("C:\") last. A folder's path starts at the folder, judged as a program's own.
bool PathSafe(const char* finalPath, bool isFolder = false) {
    char path[PATH_SIZE];
    strcpy(path, finalPath);
    if (!ObjectSafe(path, isFolder ? PLACE_OWN_FOLDER : PLACE_FILE)) {
        return false;
    }
    PlaceRole role = isFolder ? PLACE_FOLDER_ABOVE : PLACE_OWN_FOLDER;
    for (;;) {
        char* slash = strrchr(path, '\\');
        if (slash == nullptr || slash < path + 2) {
            return false;
        }
        const bool root = slash == path + 2;
        slash[root ? 1 : 0] = 0;
        if (!ObjectSafe(path, role)) {
            return false;
        }
        if (root) {
            return true;
        }
        role = PLACE_FOLDER_ABOVE;
    }
}

} // namespace

bool PlaceDescriptorSafe(PSECURITY_DESCRIPTOR descriptor, PlaceRole role) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !Trusted(owner)) {
        return false;
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        return false;
    }
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        return false;
    }
    GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
    const DWORD forbidden = ForbiddenRights(role);
    for (DWORD i = 0; i < size.AceCount; i++) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return false;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            return false;
        }
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        DWORD rights = allowed->Mask;
        MapGenericMask(&rights, &fileRights);
        PSID sid = &allowed->SidStart;
        if (SidIs(sid, OWNER_RIGHTS_SID)) {
            sid = owner;
        }
        if ((rights & forbidden) != 0 && !Trusted(sid)) {
            return false;
        }
    }
    return true;
}

bool PlatformProgramPlaceSafe(char* finalPath, uint32_t size) {
    if (size == 0) {
        return false;
    }
    finalPath[0] = 0;
    char module[PATH_SIZE];
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    if (length == 0 || length >= sizeof module || !OnLocalFixedDrive(module)) {
        return false;
    }
    char path[PATH_SIZE];
    if (!FinalPath(module, path, sizeof path) || strlen(path) >= size) {
        return false;
    }
    strcpy(finalPath, path);
    return OnLocalFixedDrive(path) && PathSafe(path);
}

bool PlatformPathPlaceSafe(const char* path, bool isFolder) {
    char resolved[PATH_SIZE];
    return strlen(path) < PATH_SIZE && OnLocalFixedDrive(path) &&
           FinalPath(path, resolved, sizeof resolved) && lstrcmpiA(resolved, path) == 0 &&
           PathSafe(resolved, isFolder);
}
