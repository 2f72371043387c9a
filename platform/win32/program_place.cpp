// Whether a program file's place is safe for an elevated start: its final path, the drive it
// lies on, and the owner and DACL of the file and of every folder up to the drive's root, each
// read from a handle that stays open until the caller lets the place go.
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

// A task is SYSTEM's and the administrators' alone: TrustedInstaller has no business there.
bool Trusted(PSID sid, PlaceRole role) {
    for (const char* trusted : TRUSTED_SIDS) {
        if (role == PLACE_TASK && trusted == TRUSTED_SIDS[2]) {
            break;
        }
        if (SidIs(sid, trusted)) {
            return true;
        }
    }
    return false;
}

// Where a file may not be written, its attributes may not be either: they include read-only
// and hidden, and extended attributes travel with the file.
DWORD ForbiddenRights(PlaceRole role) {
    const DWORD always = DELETE | WRITE_DAC | WRITE_OWNER;
    switch (role) {
    case PLACE_FILE:
    case PLACE_TASK:
        return always | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA;
    case PLACE_OWN_FOLDER:
    case PLACE_PARENT_FOLDER:
        // A file added beside the program may be a DLL that it loads; a folder added to the
        // parent may take the place of the program's own folder once that is gone.
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

FinalPathFunction FinalPathCall() {
    return reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
}

// The open file's path with every link and junction resolved, "\\?\" taken off. Windows before
// Vista has no such call; there a junction cannot be seen through, so nothing counts as found.
bool FinalPathOfHandle(HANDLE file, char* out, DWORD size) {
    const FinalPathFunction finalPathOf = FinalPathCall();
    if (finalPathOf == nullptr) {
        return false;
    }
    char resolved[PATH_SIZE + 8];
    const DWORD length = finalPathOf(file, resolved, sizeof resolved, 0);
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

bool FinalPath(const char* path, char* out, DWORD size) {
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool found = FinalPathOfHandle(file, out, size);
    CloseHandle(file);
    return found;
}

// One level, opened where it is and not where a link or junction leads. Reading its data (for
// a folder: listing it) is asked for because only a handle with data access takes part in the
// sharing rules: without it, the missing delete sharing would stop no rename.
HANDLE OpenLevel(const char* path, bool folder) {
    HANDLE level = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (level == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(level, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
        CloseHandle(level);
        return nullptr;
    }
    return level;
}

bool LevelSafe(HANDLE level, PlaceJudge judge, PlaceRole role) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(level, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
        descriptor == nullptr) {
        return false;
    }
    const bool safe = judge(descriptor, role);
    LocalFree(descriptor);
    return safe;
}

// The role of level i of count, the file being the last.
PlaceRole RoleOf(int i, int count) {
    const int up = count - 1 - i;
    return up == 0   ? PLACE_FILE
           : up == 1 ? PLACE_OWN_FOLDER
           : up == 2 ? PLACE_PARENT_FOLDER
                     : PLACE_FOLDER_ABOVE;
}

} // namespace

bool HoldPlace(const char* finalPath, PlaceJudge judge, PlaceHold* hold, bool isFolder) {
    hold->count = 0;
    if (strlen(finalPath) >= PATH_SIZE || strchr(finalPath, '%') != nullptr ||
        !OnLocalFixedDrive(finalPath)) {
        return false;
    }
    // The levels end at each backslash after the root's ("C:\"), and at the end of the path.
    int ends[PLACE_HOLD_LEVELS];
    int count = 0;
    ends[count++] = 3;
    for (int i = 3; finalPath[i] != 0; i++) {
        const bool last = finalPath[i + 1] == 0;
        if (finalPath[i] == '\\' && (last || finalPath[i - 1] == '\\')) {
            return false; // an empty name
        }
        if ((finalPath[i] == '\\' || last) && count < PLACE_HOLD_LEVELS) {
            ends[count++] = finalPath[i] == '\\' ? i : i + 1;
        }
    }
    if (count < 2 || ends[count - 1] != static_cast<int>(strlen(finalPath))) {
        return false;
    }
    char level[PATH_SIZE];
    for (int i = 0; i < count; i++) {
        memcpy(level, finalPath, static_cast<size_t>(ends[i]));
        level[ends[i]] = 0;
        HANDLE handle = OpenLevel(level, isFolder || i < count - 1);
        if (handle == nullptr) {
            PlatformReleasePlace(hold);
            return false;
        }
        hold->handles[hold->count++] = handle;
        if (!LevelSafe(handle, judge, RoleOf(i, isFolder ? count + 1 : count))) {
            PlatformReleasePlace(hold);
            return false;
        }
    }
    char held[PATH_SIZE];
    if (!FinalPathOfHandle(hold->handles[count - 1], held, sizeof held) ||
        strcmp(held, finalPath) != 0) {
        PlatformReleasePlace(hold);
        return false;
    }
    return true;
}

bool PlaceDescriptorSafe(PSECURITY_DESCRIPTOR descriptor, PlaceRole role) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !Trusted(owner, role)) {
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
        if ((rights & forbidden) != 0 && !Trusted(sid, role)) {
            return false;
        }
    }
    return true;
}

void PlatformReleasePlace(PlaceHold* hold) {
    for (int i = 0; i < hold->count; i++) {
        CloseHandle(hold->handles[i]);
    }
    hold->count = 0;
}

// The drive is asked about before the file is opened, so that a dead share cannot hold the
// program up, and again for the final path, which may lie elsewhere.
bool PlatformPlaceSafe(const char* path, char* finalPath, uint32_t size, PlaceHold* hold) {
    hold->count = 0;
    if (size == 0) {
        return false;
    }
    finalPath[0] = 0;
    if (strlen(path) >= PATH_SIZE || !OnLocalFixedDrive(path)) {
        return false;
    }
    char resolved[PATH_SIZE];
    if (!FinalPath(path, resolved, sizeof resolved) || strlen(resolved) >= size) {
        return false;
    }
    strcpy(finalPath, resolved);
    return HoldPlace(resolved, PlaceDescriptorSafe, hold);
}
