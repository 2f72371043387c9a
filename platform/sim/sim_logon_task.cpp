// The simulated Task Scheduler: the root folder's tasks in fixed arrays, failures on demand,
// and the user who runs the program.
#include <cstdio>
#include <cstring>

#include "platform/logon_task.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

// The platform's E_INVALIDARG and E_OUTOFMEMORY, as the negative numbers they are in a long.
constexpr long SIM_E_INVALIDARG = -2147024809;
constexpr long SIM_E_OUTOFMEMORY = -2147024882;

constexpr int TASK_COUNT = 4;
constexpr size_t TASK_NAME_SIZE = 64;
constexpr size_t TASK_XML_SIZE = 16384;

const char DEFAULT_USER[] = "CHRONO-PC\\Ana";

struct Task {
    bool used;
    char name[TASK_NAME_SIZE];
    char xml[TASK_XML_SIZE];
};

struct Scheduler {
    Task tasks[TASK_COUNT];
    long failures[SIM_TASK_OP_COUNT];
    bool userMissing;
    char user[300];
};

Scheduler scheduler;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Task names compare without regard to ASCII case, as on the platform.
bool SameName(const char* a, const char* b) {
    for (; Lower(*a) == Lower(*b); a++, b++) {
        if (*a == 0) {
            return true;
        }
    }
    return false;
}

Task* FindTask(const char* name) {
    for (Task& t : scheduler.tasks) {
        if (t.used && SameName(t.name, name)) {
            return &t;
        }
    }
    return nullptr;
}

bool ValidName(const char* name) {
    return name != nullptr && name[0] != 0 && strchr(name, '\\') == nullptr &&
           strlen(name) < TASK_NAME_SIZE;
}

} // namespace

void SimResetLogonTasks() {
    memset(&scheduler, 0, sizeof scheduler);
    snprintf(scheduler.user, sizeof scheduler.user, "%s", DEFAULT_USER);
}

void SimLogonTaskFail(SimTaskOp op, long error) {
    if (op >= 0 && op < SIM_TASK_OP_COUNT) {
        scheduler.failures[op] = error;
    }
}

const char* SimLogonTaskXml(const char* name) {
    const Task* t = name != nullptr ? FindTask(name) : nullptr;
    return t != nullptr ? t->xml : nullptr;
}

int SimLogonTaskCount() {
    int n = 0;
    for (const Task& t : scheduler.tasks) {
        n += t.used;
    }
    return n;
}

void SimSetUserName(const char* name) {
    scheduler.userMissing = name == nullptr;
    snprintf(scheduler.user, sizeof scheduler.user, "%s", name != nullptr ? name : "");
}

// ---- platform Task Scheduler ----

long PlatformRegisterLogonTask(const char* name, const char* xml) {
    SimRunWaitHook(SIM_WAIT_TASK);
    if (scheduler.failures[SIM_TASK_REGISTER] != 0) {
        return scheduler.failures[SIM_TASK_REGISTER];
    }
    if (!ValidName(name) || xml == nullptr || xml[0] == 0) {
        return SIM_E_INVALIDARG;
    }
    if (strlen(xml) >= TASK_XML_SIZE) {
        return SIM_E_OUTOFMEMORY;
    }
    Task* t = FindTask(name);
    for (int i = 0; i < TASK_COUNT && t == nullptr; i++) {
        if (!scheduler.tasks[i].used) {
            t = &scheduler.tasks[i];
        }
    }
    if (t == nullptr) {
        return SIM_E_OUTOFMEMORY;
    }
    t->used = true;
    snprintf(t->name, sizeof t->name, "%s", name);
    snprintf(t->xml, sizeof t->xml, "%s", xml);
    return 0;
}

long PlatformDeleteLogonTask(const char* name) {
    SimRunWaitHook(SIM_WAIT_TASK);
    if (scheduler.failures[SIM_TASK_DELETE] != 0) {
        return scheduler.failures[SIM_TASK_DELETE];
    }
    if (!ValidName(name)) {
        return SIM_E_INVALIDARG;
    }
    if (Task* t = FindTask(name)) {
        t->used = false;
    }
    return 0;
}

bool PlatformLogonTaskExists(const char* name) {
    SimRunWaitHook(SIM_WAIT_TASK);
    return ValidName(name) && FindTask(name) != nullptr;
}

bool PlatformCurrentUserName(char* out, uint32_t size) {
    const size_t length = strlen(scheduler.user);
    if (size == 0) {
        return false;
    }
    if (scheduler.userMissing || length == 0 || length >= size) {
        out[0] = 0;
        return false;
    }
    memcpy(out, scheduler.user, length + 1);
    return true;
}
