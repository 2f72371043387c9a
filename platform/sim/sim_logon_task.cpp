// The simulated Task Scheduler: the root folder's tasks in fixed arrays, failures on demand, and
// what a registered task says about itself, read from its definition as the platform would;
// and the simulated answer about the program's place.
#include <cstdio>
#include <cstring>

#include "platform/logon_task.h"
#include "platform/program_place.h"
#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

// The platform's E_INVALIDARG and E_OUTOFMEMORY, as the negative numbers they are in a long.
constexpr long SIM_E_INVALIDARG = -2147024809;
constexpr long SIM_E_OUTOFMEMORY = -2147024882;
constexpr long SIM_E_ACCESSDENIED = -2147024891;

constexpr int TASK_COUNT = 4;
constexpr size_t TASK_NAME_SIZE = 64;
constexpr size_t TASK_XML_SIZE = 16384;

struct Task {
    bool used;
    bool groupLogon;  // registered with the group logon type
    bool foreign;     // its permissions let others change it
    bool undeletable; // a deletion is refused
    char name[TASK_NAME_SIZE];
    char xml[TASK_XML_SIZE];
};

struct Scheduler {
    Task tasks[TASK_COUNT];
    long failures[SIM_TASK_OP_COUNT];
    bool nameOnly;
    int calls;
};

// A file's place as the test set it.
constexpr int PLACE_COUNT = 8;
constexpr size_t PLACE_PATH = 300;
struct Place {
    bool used;
    SimPlace place;
    char path[PLACE_PATH];
    char finalPath[PLACE_PATH];
};
struct Places {
    bool ownUnsafe;
    bool ownFinalSet;
    char ownFinal[PLACE_PATH];
    Place others[PLACE_COUNT];
    int held;
};
Places places;

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

// The text of the first element of that name inside the section that begins with within
// (or anywhere when within is null), with the markup's five entities taken back; empty when
// there is none or it does not fit.
void ElementText(const char* xml, const char* within, const char* element, char* out, size_t size) {
    out[0] = 0;
    const char* from = within != nullptr ? strstr(xml, within) : xml;
    char open[64], close[64];
    snprintf(open, sizeof open, "<%s>", element);
    snprintf(close, sizeof close, "</%s>", element);
    const char* start = from != nullptr ? strstr(from, open) : nullptr;
    const char* end = start != nullptr ? strstr(start, close) : nullptr;
    if (end == nullptr) {
        return;
    }
    static const char* const ENTITIES[][2] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
    size_t used = 0;
    for (const char* p = start + strlen(open); p < end && used + 1 < size;) {
        char c = *p++;
        if (c == '&') {
            for (const auto& e : ENTITIES) {
                if (strncmp(p - 1, e[0], strlen(e[0])) == 0) {
                    c = e[1][0];
                    p += strlen(e[0]) - 1;
                    break;
                }
            }
        }
        out[used++] = c;
    }
    out[used] = 0;
}

} // namespace

void SimResetLogonTasks() {
    memset(&scheduler, 0, sizeof scheduler);
    memset(&places, 0, sizeof places);
}

void SimLogonTaskNameOnly(bool nameOnly) {
    scheduler.nameOnly = nameOnly;
}

int SimLogonTaskCallCount() {
    return scheduler.calls;
}

bool SimLogonTaskGroupLogon(const char* name) {
    const Task* t = name != nullptr ? FindTask(name) : nullptr;
    return t != nullptr && t->groupLogon;
}

void SimSetProgramPlace(bool safe, const char* finalPath) {
    places.ownUnsafe = !safe;
    places.ownFinalSet = finalPath != nullptr;
    snprintf(places.ownFinal, sizeof places.ownFinal, "%s", finalPath != nullptr ? finalPath : "");
}

void SimSetPlace(const char* path, SimPlace place, const char* finalPath) {
    Place* slot = nullptr;
    for (Place& p : places.others) {
        if ((p.used && SameName(p.path, path)) || (slot == nullptr && !p.used)) {
            slot = &p;
        }
    }
    if (slot == nullptr) {
        return;
    }
    slot->used = true;
    slot->place = place;
    snprintf(slot->path, sizeof slot->path, "%s", path);
    snprintf(slot->finalPath, sizeof slot->finalPath, "%s",
             finalPath != nullptr ? finalPath : path);
}

int SimPlacesHeld() {
    return places.held;
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

void SimPutLogonTask(const char* name, const char* xml, bool foreign, bool undeletable) {
    Task* t = FindTask(name);
    for (int i = 0; i < TASK_COUNT && t == nullptr; i++) {
        if (!scheduler.tasks[i].used) {
            t = &scheduler.tasks[i];
        }
    }
    if (t == nullptr) {
        return;
    }
    t->used = true;
    t->groupLogon = true;
    t->foreign = foreign;
    t->undeletable = undeletable;
    snprintf(t->name, sizeof t->name, "%s", name);
    snprintf(t->xml, sizeof t->xml, "%s", xml);
}

int SimLogonTaskCount() {
    int n = 0;
    for (const Task& t : scheduler.tasks) {
        n += t.used;
    }
    return n;
}

// ---- platform Task Scheduler ----

long PlatformRegisterLogonTask(const char* name, const char* xml) {
    SimRunWaitHook(SIM_WAIT_TASK);
    scheduler.calls++;
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
    if (t != nullptr) {
        return LOGON_TASK_EXISTS;
    }
    for (int i = 0; i < TASK_COUNT && t == nullptr; i++) {
        if (!scheduler.tasks[i].used) {
            t = &scheduler.tasks[i];
        }
    }
    if (t == nullptr) {
        return SIM_E_OUTOFMEMORY;
    }
    *t = Task{};
    t->used = true;
    t->groupLogon = true;
    snprintf(t->name, sizeof t->name, "%s", name);
    snprintf(t->xml, sizeof t->xml, "%s", xml);
    return 0;
}

long PlatformDeleteLogonTask(const char* name) {
    SimRunWaitHook(SIM_WAIT_TASK);
    scheduler.calls++;
    if (scheduler.failures[SIM_TASK_DELETE] != 0) {
        return scheduler.failures[SIM_TASK_DELETE];
    }
    if (!ValidName(name)) {
        return SIM_E_INVALIDARG;
    }
    if (Task* t = FindTask(name)) {
        if (t->undeletable) {
            return SIM_E_ACCESSDENIED;
        }
        t->used = false;
    }
    return 0;
}

LogonTaskPresence PlatformReadLogonTask(const char* name, LogonTaskFacts* facts) {
    SimRunWaitHook(SIM_WAIT_TASK);
    scheduler.calls++;
    memset(facts, 0, sizeof *facts);
    if (scheduler.failures[SIM_TASK_READ] != 0) {
        return LOGON_TASK_UNKNOWN;
    }
    const Task* t = ValidName(name) ? FindTask(name) : nullptr;
    if (t == nullptr) {
        return LOGON_TASK_ABSENT;
    }
    if (scheduler.nameOnly) {
        return LOGON_TASK_PRESENT;
    }
    // The actions in their order: the first decides what the command and arguments are.
    static const char* const ACTIONS[] = {"<Exec>", "<ComHandler>", "<SendEmail>", "<ShowMessage>"};
    const char* first = nullptr;
    for (const char* kind : ACTIONS) {
        for (const char* at = strstr(t->xml, kind); at != nullptr; at = strstr(at + 1, kind)) {
            facts->actions++;
            if (first == nullptr || at < first) {
                first = at;
                facts->firstIsExec = kind == ACTIONS[0];
            }
        }
    }
    if (facts->firstIsExec) {
        ElementText(first, nullptr, "Command", facts->command, sizeof facts->command);
        ElementText(first, nullptr, "Arguments", facts->arguments, sizeof facts->arguments);
    }
    facts->permissionsRead = true;
    facts->othersMayChange = t->foreign;
    ElementText(t->xml, "<Principal", "GroupId", facts->groupSid, sizeof facts->groupSid);
    char text[LOGON_TASK_TEXT_SIZE];
    ElementText(t->xml, "<Principal", "UserId", text, sizeof text);
    facts->forUser = text[0] != 0;
    ElementText(t->xml, "<Principal", "RunLevel", text, sizeof text);
    facts->highest = strcmp(text, "HighestAvailable") == 0;
    facts->groupLogon = t->groupLogon;
    return LOGON_TASK_PRESENT;
}

// ---- platform program place ----

bool PlatformPlaceSafe(const char* path, char* finalPath, uint32_t size, PlaceHold* hold) {
    hold->count = 0;
    if (size == 0) {
        return false;
    }
    finalPath[0] = 0;
    char own[PLACE_PATH] = {};
    SimPlace place = SIM_PLACE_MISSING;
    const char* found = "";
    if (PlatformModuleFileName(own, sizeof own) != 0 && SameName(path, own)) {
        place = places.ownUnsafe ? SIM_PLACE_UNSAFE : SIM_PLACE_SAFE;
        found = places.ownFinalSet ? places.ownFinal : own;
    } else {
        for (const Place& p : places.others) {
            if (p.used && SameName(p.path, path)) {
                place = p.place;
                found = p.finalPath;
            }
        }
    }
    if (place == SIM_PLACE_MISSING || strlen(found) >= size) {
        return false;
    }
    snprintf(finalPath, size, "%s", found);
    if (place != SIM_PLACE_SAFE || found[0] == 0) {
        return false;
    }
    hold->handles[0] = &places;
    hold->count = 1;
    places.held++;
    return true;
}

void PlatformReleasePlace(PlaceHold* hold) {
    places.held -= hold->count;
    hold->count = 0;
}
