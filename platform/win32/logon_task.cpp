// The Task Scheduler 2.0 through its COM interface ITaskService.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <taskschd.h>

#include <cstring>

#include "platform/logon_task.h"
#include "platform/win32/place_rule.h"

namespace {

// A BSTR of the ANSI text, or null when it cannot be converted or memory runs out.
BSTR AnsiToBstr(const char* text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) {
        return nullptr;
    }
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result != nullptr && MultiByteToWideChar(CP_ACP, 0, text, -1, result, length) != length) {
        SysFreeString(result);
        return nullptr;
    }
    return result;
}

// The scheduler's root folder, connected to the service on this computer as the caller, for
// the life of one call. The program is one thread with windows, so COM is asked for in an
// apartment; a thread that already has COM in the other mode keeps it and is used as it is.
class TaskRoot {
  public:
    TaskRoot() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        // S_FALSE (COM was already there) counts too and has to be undone as well.
        uninitialise_ = SUCCEEDED(init);
        if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
            result_ = init;
            return;
        }
        result_ = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITaskService, reinterpret_cast<void**>(&service_));
        if (FAILED(result_) || service_ == nullptr) {
            service_ = nullptr;
            return;
        }
        VARIANT none;
        VariantInit(&none);
        result_ = service_->Connect(none, none, none, none);
        if (FAILED(result_)) {
            return;
        }
        BSTR root = AnsiToBstr("\\");
        result_ = root != nullptr ? service_->GetFolder(root, &folder_) : E_OUTOFMEMORY;
        SysFreeString(root);
        if (FAILED(result_)) {
            folder_ = nullptr;
        }
    }

    ~TaskRoot() {
        if (folder_ != nullptr) {
            folder_->Release();
        }
        if (service_ != nullptr) {
            service_->Release();
        }
        if (uninitialise_) {
            CoUninitialize();
        }
    }

    TaskRoot(const TaskRoot&) = delete;
    TaskRoot& operator=(const TaskRoot&) = delete;

    ITaskFolder* Folder() const { return folder_; }
    // Why there is no folder: never success then.
    long Failure() const { return FAILED(result_) ? result_ : E_FAIL; }

  private:
    bool uninitialise_ = false;
    HRESULT result_ = E_FAIL;
    ITaskService* service_ = nullptr;
    ITaskFolder* folder_ = nullptr;
};

} // namespace

// Administrators own the task and, with SYSTEM, alone may touch it: a task that anyone else
// may change would start whatever they like with the highest privileges.
const wchar_t TASK_PERMISSIONS[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The group is given as the user of the registration too, by its SID: with the group logon
// type that is who the task is for, and a SID reads the same in every language of Windows.
// No password: a group task needs none. Created, never updated: a task of that name that is
// there already is someone's, and keeps its permissions through an update.
long PlatformRegisterLogonTask(const char* name, const char* xml) {
    TaskRoot root;
    if (root.Folder() == nullptr) {
        return root.Failure();
    }
    BSTR taskName = AnsiToBstr(name);
    BSTR definition = AnsiToBstr(xml);
    BSTR group = AnsiToBstr(ADMINISTRATORS_SID);
    HRESULT result = E_OUTOFMEMORY;
    if (taskName != nullptr && definition != nullptr && group != nullptr) {
        VARIANT none;
        VariantInit(&none);
        VARIANT user;
        VariantInit(&user);
        user.vt = VT_BSTR;
        user.bstrVal = group;
        VARIANT permissions;
        VariantInit(&permissions);
        permissions.vt = VT_BSTR;
        permissions.bstrVal = SysAllocString(TASK_PERMISSIONS);
        IRegisteredTask* task = nullptr;
        result = permissions.bstrVal == nullptr
                     ? E_OUTOFMEMORY
                     : root.Folder()->RegisterTask(taskName, definition, TASK_CREATE, user, none,
                                                   TASK_LOGON_GROUP, permissions, &task);
        VariantClear(&permissions);
        if (task != nullptr) {
            task->Release();
        }
    }
    SysFreeString(taskName);
    SysFreeString(definition);
    SysFreeString(group);
    return SUCCEEDED(result) ? 0 : result;
}

long PlatformDeleteLogonTask(const char* name) {
    TaskRoot root;
    if (root.Folder() == nullptr) {
        return root.Failure();
    }
    BSTR taskName = AnsiToBstr(name);
    HRESULT result = taskName != nullptr ? root.Folder()->DeleteTask(taskName, 0) : E_OUTOFMEMORY;
    SysFreeString(taskName);
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return 0;
    }
    return SUCCEEDED(result) ? 0 : result;
}

namespace {

// The text into out as ANSI; empty when it is absent or does not fit.
void BstrToAnsi(BSTR text, char* out, int size) {
    out[0] = 0;
    if (text != nullptr &&
        WideCharToMultiByte(CP_ACP, 0, text, -1, out, size, nullptr, nullptr) == 0) {
        out[0] = 0;
    }
}

// A group as its SID text. The scheduler gives back what it was given, or the group's name.
void GroupSid(BSTR group, char* out, int size) {
    out[0] = 0;
    if (group == nullptr || group[0] == 0) {
        return;
    }
    if (wcsncmp(group, L"S-1-", 4) == 0) {
        BstrToAnsi(group, out, size);
        return;
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = sizeof domain / sizeof domain[0];
    SID_NAME_USE use;
    char* text = nullptr;
    if (LookupAccountNameW(nullptr, group, sid, &sidSize, domain, &domainSize, &use) &&
        ConvertSidToStringSidA(sid, &text)) {
        if (strlen(text) < static_cast<size_t>(size)) {
            strcpy(out, text);
        }
        LocalFree(text);
    }
}

void ReadAction(ITaskDefinition* definition, LogonTaskFacts* facts) {
    IActionCollection* actions = nullptr;
    LONG count = 0;
    if (FAILED(definition->get_Actions(&actions)) || actions == nullptr) {
        return;
    }
    IAction* action = nullptr;
    if (SUCCEEDED(actions->get_Count(&count)) && count >= 1) {
        facts->actions = static_cast<uint32_t>(count);
    }
    TASK_ACTION_TYPE type = TASK_ACTION_EXEC;
    if (count >= 1 && SUCCEEDED(actions->get_Item(1, &action)) && action != nullptr) {
        IExecAction* exec = nullptr;
        if (SUCCEEDED(action->get_Type(&type)) && type == TASK_ACTION_EXEC &&
            SUCCEEDED(action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(&exec))) &&
            exec != nullptr) {
            facts->firstIsExec = true;
            BSTR text = nullptr;
            if (SUCCEEDED(exec->get_Path(&text))) {
                BstrToAnsi(text, facts->command, sizeof facts->command);
            }
            SysFreeString(text);
            text = nullptr;
            if (SUCCEEDED(exec->get_Arguments(&text))) {
                BstrToAnsi(text, facts->arguments, sizeof facts->arguments);
            }
            SysFreeString(text);
            exec->Release();
        }
        action->Release();
    }
    actions->Release();
}

void ReadPrincipal(ITaskDefinition* definition, LogonTaskFacts* facts) {
    IPrincipal* principal = nullptr;
    if (FAILED(definition->get_Principal(&principal)) || principal == nullptr) {
        return;
    }
    BSTR text = nullptr;
    if (SUCCEEDED(principal->get_GroupId(&text))) {
        GroupSid(text, facts->groupSid, sizeof facts->groupSid);
    }
    SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(principal->get_UserId(&text))) {
        facts->forUser = text != nullptr && text[0] != 0;
    }
    SysFreeString(text);
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    facts->groupLogon =
        SUCCEEDED(principal->get_LogonType(&logonType)) && logonType == TASK_LOGON_GROUP;
    TASK_RUNLEVEL_TYPE level = TASK_RUNLEVEL_LUA;
    facts->highest = SUCCEEDED(principal->get_RunLevel(&level)) && level == TASK_RUNLEVEL_HIGHEST;
    principal->Release();
}

// Judged by the rule of the program's place, as a file that only SYSTEM and Administrators may
// change. Wine gives no permissions back; then they stay unread.
void ReadPermissions(IRegisteredTask* task, LogonTaskFacts* facts) {
    BSTR text = nullptr;
    if (FAILED(task->GetSecurityDescriptor(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           &text)) ||
        text == nullptr || text[0] == 0) {
        SysFreeString(text);
        return;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                             nullptr)) {
        facts->permissionsRead = true;
        facts->othersMayChange = !PlaceDescriptorSafe(descriptor, PLACE_TASK);
        LocalFree(descriptor);
    }
    SysFreeString(text);
}

} // namespace

LogonTaskPresence PlatformReadLogonTask(const char* name, LogonTaskFacts* facts) {
    memset(facts, 0, sizeof *facts);
    TaskRoot root;
    if (root.Folder() == nullptr) {
        return LOGON_TASK_UNKNOWN;
    }
    BSTR taskName = AnsiToBstr(name);
    IRegisteredTask* task = nullptr;
    const HRESULT found =
        taskName != nullptr ? root.Folder()->GetTask(taskName, &task) : E_OUTOFMEMORY;
    SysFreeString(taskName);
    if (FAILED(found) || task == nullptr) {
        return found == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                       found == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
                   ? LOGON_TASK_ABSENT
                   : LOGON_TASK_UNKNOWN;
    }
    ITaskDefinition* definition = nullptr;
    if (SUCCEEDED(task->get_Definition(&definition)) && definition != nullptr) {
        ReadAction(definition, facts);
        ReadPrincipal(definition, facts);
        definition->Release();
    }
    ReadPermissions(task, facts);
    task->Release();
    return LOGON_TASK_PRESENT;
}
