// The install's steps on Windows: the Program Files folder, the copy from the held program
// file, its version, the start of the installed copy and removal at the next restart.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "platform/install.h"

namespace {

HANDLE ownFile = INVALID_HANDLE_VALUE;
PROCESS_INFORMATION started = {};

// A descriptor that names the owner and nothing else: the permissions are inherited as for any
// new object, and an inherited CREATOR OWNER entry goes to that owner, not to the creator.
struct OwnerOnly {
    SECURITY_DESCRIPTOR descriptor;
    PSID owner = nullptr;
    SECURITY_ATTRIBUTES attributes = {};

    explicit OwnerOnly(const char* sid) {
        if (ConvertStringSidToSidA(sid, &owner) &&
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorOwner(&descriptor, owner, FALSE)) {
            attributes.nLength = sizeof attributes;
            attributes.lpSecurityDescriptor = &descriptor;
        }
    }
    ~OwnerOnly() {
        if (owner != nullptr) {
            LocalFree(owner);
        }
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    SECURITY_ATTRIBUTES* Get() { return attributes.nLength != 0 ? &attributes : nullptr; }
};

bool CopyFrom(HANDLE from, HANDLE to) {
    if (SetFilePointer(from, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return false;
    }
    static char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(from, buffer, sizeof buffer, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return FlushFileBuffers(to) != FALSE;
        }
        DWORD written = 0;
        if (!WriteFile(to, buffer, read, &written, nullptr) || written != read) {
            return false;
        }
    }
}

} // namespace

bool PlatformHoldOwnFile() {
    char path[INSTALL_PATH_SIZE];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return false;
    }
    ownFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return ownFile != INVALID_HANDLE_VALUE;
}

// The folder of a 32-bit program: "Program Files (x86)" on a 64-bit Windows.
bool PlatformInstallFolder(char* folder, uint32_t size) {
    char programFiles[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                                programFiles))) {
        return false;
    }
    const int written = snprintf(folder, size, "%s\\Chronoplex", programFiles);
    return written > 0 && static_cast<uint32_t>(written) < size;
}

bool PlatformFolderExists(const char* folder) {
    const DWORD attributes = GetFileAttributesA(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PlatformFileExists(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PlatformFileVersion(const char* path, uint64_t* version) {
    char own[INSTALL_PATH_SIZE];
    if (path == nullptr) {
        const DWORD length = GetModuleFileNameA(nullptr, own, sizeof own);
        if (length == 0 || length >= sizeof own) {
            return false;
        }
        path = own;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) {
        return false;
    }
    char* data = new char[size];
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    const bool read = GetFileVersionInfoA(path, 0, size, data) &&
                      VerQueryValueA(data, "\\", reinterpret_cast<void**>(&info), &length) &&
                      info != nullptr && length >= sizeof *info;
    if (read) {
        *version = uint64_t{info->dwFileVersionMS} << 32 | info->dwFileVersionLS;
    }
    delete[] data;
    return read;
}

bool PlatformMakeFolder(const char* folder, const char* ownerSid) {
    OwnerOnly owner(ownerSid);
    return owner.Get() != nullptr && CreateDirectoryA(folder, owner.Get()) != FALSE;
}

// CREATE_NEW: a name that is already there, a planted file or a link, is never written through.
bool PlatformCopyOwnFile(const char* to, const char* ownerSid) {
    OwnerOnly owner(ownerSid);
    if (ownFile == INVALID_HANDLE_VALUE || owner.Get() == nullptr) {
        return false;
    }
    HANDLE copy =
        CreateFileA(to, GENERIC_WRITE, 0, owner.Get(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool copied = CopyFrom(ownFile, copy);
    CloseHandle(copy);
    if (!copied) {
        DeleteFileA(to);
    }
    return copied;
}

bool PlatformRenameFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool PlatformDeleteFile(const char* path) {
    return DeleteFileA(path) != FALSE;
}

bool PlatformDeleteFolder(const char* folder) {
    return RemoveDirectoryA(folder) != FALSE;
}

// By its full path as the file to run, and quoted as the command line, so that no blank in
// "Program Files" lets another file be taken for it.
bool PlatformStartProgram(const char* path, const char* folder) {
    char commandLine[INSTALL_PATH_SIZE + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", path);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          folder, &startup, &started) != FALSE;
}

void PlatformResumeProgram() {
    if (started.hProcess == nullptr) {
        return;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    started = {};
}

bool PlatformRemoveAtRestart(const char* path) {
    return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}
