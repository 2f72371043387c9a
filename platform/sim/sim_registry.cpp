// The simulated registry: HKEY_LOCAL_MACHINE in fixed arrays, with the platform's rules for
// what opens, what is created, which error comes back, and how values are typed and sized.
#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_OUTOFMEMORY = 14;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_KEY_DELETED = 1018;

constexpr int KEY_COUNT = 24;
constexpr int KEY_PATH_SIZE = 256;
constexpr int VALUE_COUNT = 256;
constexpr int VALUE_NAME_SIZE = 64;
constexpr uint32_t VALUE_DATA_SIZE = 512;
constexpr int HANDLE_COUNT = 16;

const char DEFAULT_MODULE[] = "C:\\Program Files\\Chronoplex\\chronoplex.exe";

struct Key {
    bool used;
    uint32_t serial; // tells a handle of a deleted key from one of its successor
    char path[KEY_PATH_SIZE];
};

struct Value {
    bool used;
    int key;
    char name[VALUE_NAME_SIZE];
    uint32_t type;
    uint32_t size;
    uint8_t data[VALUE_DATA_SIZE];
};

struct Handle {
    bool used;
    int key;
    uint32_t serial;
};

struct Failure {
    long error;
    int remaining; // < 0: until cleared
};

struct Registry {
    Key keys[KEY_COUNT];
    Value values[VALUE_COUNT];
    Handle handles[HANDLE_COUNT];
    Failure failures[SIM_REG_OP_COUNT];
    uint32_t nextSerial;
    bool moduleMissing;
    char module[300];
};

Registry reg;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Key and value names compare without regard to ASCII case, as on the platform; the first n
// characters at most.
bool SameName(const char* a, const char* b, size_t n = static_cast<size_t>(-1)) {
    for (size_t i = 0; i < n; i++) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
    return true;
}

bool ValidPath(const char* path) {
    return path != nullptr && path[0] != 0 && path[0] != '\\' && strlen(path) < KEY_PATH_SIZE;
}

long InjectedFailure(SimRegOp op) {
    Failure& f = reg.failures[op];
    if (f.error == 0 || f.remaining == 0) {
        return 0;
    }
    if (f.remaining > 0) {
        f.remaining--;
    }
    return f.error;
}

int FindKey(const char* path) {
    for (int i = 0; i < KEY_COUNT; i++) {
        if (reg.keys[i].used && SameName(reg.keys[i].path, path)) {
            return i;
        }
    }
    return -1;
}

int FindValue(int key, const char* name) {
    for (int i = 0; i < VALUE_COUNT; i++) {
        if (reg.values[i].used && reg.values[i].key == key && SameName(reg.values[i].name, name)) {
            return i;
        }
    }
    return -1;
}

// Creates the key and every missing parent; returns its index or -1 when the table is full.
int MakeKey(const char* path) {
    char prefix[KEY_PATH_SIZE];
    int found = -1;
    for (size_t end = 0;; end++) {
        if (path[end] != '\\' && path[end] != 0) {
            continue;
        }
        memcpy(prefix, path, end);
        prefix[end] = 0;
        found = FindKey(prefix);
        if (found < 0) {
            for (int i = 0; i < KEY_COUNT && found < 0; i++) {
                if (!reg.keys[i].used) {
                    reg.keys[i].used = true;
                    reg.keys[i].serial = ++reg.nextSerial;
                    snprintf(reg.keys[i].path, KEY_PATH_SIZE, "%s", prefix);
                    found = i;
                }
            }
            if (found < 0) {
                return -1;
            }
        }
        if (path[end] == 0) {
            return found;
        }
    }
}

long NewHandle(int key, RegKey* out) {
    for (int i = 0; i < HANDLE_COUNT; i++) {
        if (!reg.handles[i].used) {
            reg.handles[i] = Handle{true, key, reg.keys[key].serial};
            *out = static_cast<RegKey>(i) + 1;
            return PLATFORM_ERROR_SUCCESS;
        }
    }
    return ERROR_OUTOFMEMORY;
}

// The key an open handle stands for, or a negative platform error.
int KeyOf(RegKey handle, long* error) {
    if (handle == 0 || handle > HANDLE_COUNT || !reg.handles[handle - 1].used) {
        *error = ERROR_INVALID_HANDLE;
        return -1;
    }
    const Handle& h = reg.handles[handle - 1];
    if (!reg.keys[h.key].used || reg.keys[h.key].serial != h.serial) {
        *error = ERROR_KEY_DELETED;
        return -1;
    }
    return h.key;
}

const char* ValueName(const char* name) {
    return name != nullptr ? name : "";
}

} // namespace

void SimResetRegistry() {
    memset(&reg, 0, sizeof reg);
    snprintf(reg.module, sizeof reg.module, "%s", DEFAULT_MODULE);
    // A real system always has these two.
    MakeKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    MakeKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
}

void SimRegFail(SimRegOp op, long error, int count) {
    if (op >= 0 && op < SIM_REG_OP_COUNT) {
        reg.failures[op] = Failure{error, count};
    }
}

bool SimRegKeyExists(const char* path) {
    return ValidPath(path) && FindKey(path) >= 0;
}

static const Value* FindStored(const char* path, const char* name) {
    int key = ValidPath(path) ? FindKey(path) : -1;
    int value = key >= 0 ? FindValue(key, ValueName(name)) : -1;
    return value >= 0 ? &reg.values[value] : nullptr;
}

bool SimRegValueInfo(const char* path, const char* name, uint32_t* type, uint32_t* size) {
    const Value* v = FindStored(path, name);
    if (v == nullptr) {
        return false;
    }
    if (type != nullptr) {
        *type = v->type;
    }
    if (size != nullptr) {
        *size = v->size;
    }
    return true;
}

const uint8_t* SimRegValueData(const char* path, const char* name) {
    const Value* v = FindStored(path, name);
    return v != nullptr ? v->data : nullptr;
}

int SimRegOpenKeyCount() {
    int n = 0;
    for (const Handle& h : reg.handles) {
        n += h.used;
    }
    return n;
}

void SimSetModuleFileName(const char* path) {
    reg.moduleMissing = path == nullptr;
    snprintf(reg.module, sizeof reg.module, "%s", path != nullptr ? path : "");
}

// ---- platform registry ----

long PlatformRegOpenKey(const char* path, RegKey* key) {
    *key = 0;
    if (long e = InjectedFailure(SIM_REG_OPEN)) {
        return e;
    }
    if (!ValidPath(path)) {
        return ERROR_INVALID_PARAMETER;
    }
    int k = FindKey(path);
    return k < 0 ? PLATFORM_ERROR_FILE_NOT_FOUND : NewHandle(k, key);
}

long PlatformRegCreateKey(const char* path, RegKey* key) {
    *key = 0;
    if (long e = InjectedFailure(SIM_REG_CREATE)) {
        return e;
    }
    if (!ValidPath(path)) {
        return ERROR_INVALID_PARAMETER;
    }
    int k = MakeKey(path);
    return k < 0 ? ERROR_OUTOFMEMORY : NewHandle(k, key);
}

long PlatformRegSetValue(RegKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size) {
    if (long e = InjectedFailure(SIM_REG_SET)) {
        return e;
    }
    long error = 0;
    int k = KeyOf(key, &error);
    if (k < 0) {
        return error;
    }
    name = ValueName(name);
    if ((data == nullptr && size != 0) || strlen(name) >= VALUE_NAME_SIZE) {
        return ERROR_INVALID_PARAMETER;
    }
    if (size > VALUE_DATA_SIZE) {
        return ERROR_OUTOFMEMORY;
    }
    int v = FindValue(k, name);
    for (int i = 0; i < VALUE_COUNT && v < 0; i++) {
        if (!reg.values[i].used) {
            v = i;
        }
    }
    if (v < 0) {
        return ERROR_OUTOFMEMORY;
    }
    Value& value = reg.values[v];
    value.used = true;
    value.key = k;
    snprintf(value.name, sizeof value.name, "%s", name);
    value.type = type;
    value.size = size;
    memset(value.data, 0, sizeof value.data);
    if (size != 0) {
        memcpy(value.data, data, size);
    }
    return PLATFORM_ERROR_SUCCESS;
}

long PlatformRegQueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                           uint32_t* size) {
    if (long e = InjectedFailure(SIM_REG_QUERY)) {
        return e;
    }
    long error = 0;
    int k = KeyOf(key, &error);
    if (k < 0) {
        return error;
    }
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    int v = FindValue(k, ValueName(name));
    if (v < 0) {
        return PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    const Value& value = reg.values[v];
    if (type != nullptr) {
        *type = value.type;
    }
    if (data != nullptr) {
        if (value.size > *size) {
            *size = value.size;
            return PLATFORM_ERROR_MORE_DATA;
        }
        memcpy(data, value.data, value.size);
    }
    *size = value.size;
    return PLATFORM_ERROR_SUCCESS;
}

long PlatformRegDeleteValue(RegKey key, const char* name) {
    if (long e = InjectedFailure(SIM_REG_DELETE)) {
        return e;
    }
    long error = 0;
    int k = KeyOf(key, &error);
    if (k < 0) {
        return error;
    }
    int v = FindValue(k, ValueName(name));
    if (v < 0) {
        return PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    reg.values[v].used = false;
    return PLATFORM_ERROR_SUCCESS;
}

long PlatformRegDeleteKey(const char* path) {
    if (long e = InjectedFailure(SIM_REG_DELETE_KEY)) {
        return e;
    }
    if (!ValidPath(path)) {
        return ERROR_INVALID_PARAMETER;
    }
    int k = FindKey(path);
    if (k < 0) {
        return PLATFORM_ERROR_FILE_NOT_FOUND;
    }
    // The platform refuses to delete a key that still has subkeys.
    const size_t length = strlen(reg.keys[k].path);
    for (const Key& other : reg.keys) {
        if (other.used && strlen(other.path) > length && other.path[length] == '\\' &&
            SameName(other.path, reg.keys[k].path, length)) {
            return PLATFORM_ERROR_ACCESS_DENIED;
        }
    }
    for (Value& v : reg.values) {
        if (v.used && v.key == k) {
            v.used = false;
        }
    }
    reg.keys[k].used = false;
    return PLATFORM_ERROR_SUCCESS;
}

void PlatformRegCloseKey(RegKey key) {
    if (key != 0 && key <= HANDLE_COUNT) {
        reg.handles[key - 1].used = false;
    }
}

uint32_t PlatformModuleFileName(char* path, uint32_t size) {
    const size_t length = strlen(reg.module);
    if (size == 0) {
        return 0;
    }
    if (reg.moduleMissing || length >= size) {
        path[0] = 0;
        return 0;
    }
    memcpy(path, reg.module, length + 1);
    return static_cast<uint32_t>(length);
}
