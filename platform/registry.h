// The registry under HKEY_LOCAL_MACHINE: the settings backend.
//
// Keys are named by their path below HKEY_LOCAL_MACHINE ("SOFTWARE\\Chronoplex"). Every call
// returns the platform's error number: 0 on success, PLATFORM_ERROR_FILE_NOT_FOUND for a key
// or value that does not exist, anything else for other failures. Value sizes are in bytes
// and include the terminating zero of a text. Nothing is cached: each opened key is closed
// by its caller.
#pragma once
#include <cstdint>

using RegKey = uintptr_t;

constexpr uint32_t REGISTRY_SZ = 1;
constexpr uint32_t REGISTRY_BINARY = 3;
constexpr uint32_t REGISTRY_DWORD = 4;

constexpr long PLATFORM_ERROR_SUCCESS = 0;
constexpr long PLATFORM_ERROR_FILE_NOT_FOUND = 2;
constexpr long PLATFORM_ERROR_ACCESS_DENIED = 5;
constexpr long PLATFORM_ERROR_MORE_DATA = 234;

// Opens an existing key; never creates one.
long PlatformRegOpenKey(const char* path, RegKey* key);

// Opens a key, creating it (and any missing parents) when it does not exist.
long PlatformRegCreateKey(const char* path, RegKey* key);

// Stores a value of the given type; replaces type and bytes of an existing one.
long PlatformRegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size);

// Reads a value. With data null, only *size (the stored size) and *type are filled. With
// data given, *size is the room in data on entry; a value that does not fit gives
// PLATFORM_ERROR_MORE_DATA and writes nothing into data. type may be null.
long PlatformRegQueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                           uint32_t* size);

// Deletes a value; PLATFORM_ERROR_FILE_NOT_FOUND when it does not exist.
long PlatformRegDeleteValue(RegKey key, const char* name);

// Deletes a key with its values (a key without subkeys).
long PlatformRegDeleteKey(const char* path);

void PlatformRegCloseKey(RegKey key);

// The running program file's full path; returns its length. At most size - 1 characters and
// a terminating zero are written; a path that does not fit is a failure, not a cut: 0 and an
// empty text.
uint32_t PlatformModuleFileName(char* path, uint32_t size);
