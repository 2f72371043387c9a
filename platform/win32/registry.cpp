// The registry under HKEY_LOCAL_MACHINE, through the ANSI calls.
#include <windows.h>

#include "platform/registry.h"

static HKEY ToHandle(RegKey key) {
    return reinterpret_cast<HKEY>(key);
}

long PlatformRegOpenKey(const char* path, RegKey* key) {
    HKEY handle = nullptr;
    LONG result = RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &handle);
    *key = result == ERROR_SUCCESS ? reinterpret_cast<RegKey>(handle) : 0;
    return result;
}

long PlatformRegCreateKey(const char* path, RegKey* key) {
    HKEY handle = nullptr;
    LONG result = RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &handle);
    *key = result == ERROR_SUCCESS ? reinterpret_cast<RegKey>(handle) : 0;
    return result;
}

long PlatformRegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size) {
    return RegSetValueExA(ToHandle(key), name, 0, type, static_cast<const BYTE*>(data), size);
}

// The platform leaves the buffer in an undefined state when a value does not fit, so the size
// is asked for first and a value too big for the buffer is never read into it.
long PlatformRegQueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                           uint32_t* size) {
    DWORD storedType = 0;
    DWORD storedSize = 0;
    LONG result = RegQueryValueExA(ToHandle(key), name, nullptr, &storedType, nullptr, &storedSize);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != nullptr) {
        *type = storedType;
    }
    if (data == nullptr) {
        *size = storedSize;
        return ERROR_SUCCESS;
    }
    if (storedSize > *size) {
        *size = storedSize;
        return ERROR_MORE_DATA;
    }
    DWORD room = *size;
    result =
        RegQueryValueExA(ToHandle(key), name, nullptr, nullptr, static_cast<BYTE*>(data), &room);
    *size = room;
    return result;
}

long PlatformRegDeleteValue(RegKey key, const char* name) {
    return RegDeleteValueA(ToHandle(key), name);
}

long PlatformRegDeleteKey(const char* path) {
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

void PlatformRegCloseKey(RegKey key) {
    RegCloseKey(ToHandle(key));
}

// Older systems neither terminate nor report a path that was cut to fit; a full buffer is
// therefore taken as a path that did not fit.
uint32_t PlatformModuleFileName(char* path, uint32_t size) {
    if (size == 0) {
        return 0;
    }
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    if (length == 0 || length >= size) {
        path[0] = 0;
        return 0;
    }
    path[length] = 0;
    return length;
}
