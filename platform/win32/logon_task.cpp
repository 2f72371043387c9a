// The Task Scheduler 2.0 through its COM interface ITaskService, and the user's name.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>
#define SECURITY_WIN32
#include <secext.h>

#include "platform/logon_task.h"

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

// No user, password or security descriptor is given: the definition's principal says who runs
// the task, and an interactive token needs no password.
long PlatformRegisterLogonTask(const char* name, const char* xml) {
    TaskRoot root;
    if (root.Folder() == nullptr) {
        return root.Failure();
    }
    BSTR taskName = AnsiToBstr(name);
    BSTR definition = AnsiToBstr(xml);
    HRESULT result = E_OUTOFMEMORY;
    if (taskName != nullptr && definition != nullptr) {
        VARIANT none;
        VariantInit(&none);
        IRegisteredTask* task = nullptr;
        result = root.Folder()->RegisterTask(taskName, definition, TASK_CREATE_OR_UPDATE, none,
                                             none, TASK_LOGON_INTERACTIVE_TOKEN, none, &task);
        if (task != nullptr) {
            task->Release();
        }
    }
    SysFreeString(taskName);
    SysFreeString(definition);
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

bool PlatformLogonTaskExists(const char* name) {
    TaskRoot root;
    if (root.Folder() == nullptr) {
        return false;
    }
    BSTR taskName = AnsiToBstr(name);
    IRegisteredTask* task = nullptr;
    const HRESULT result =
        taskName != nullptr ? root.Folder()->GetTask(taskName, &task) : E_OUTOFMEMORY;
    SysFreeString(taskName);
    if (task != nullptr) {
        task->Release();
    }
    return SUCCEEDED(result) && task != nullptr;
}

// The two calls count differently: the extended one gives the length without the terminating
// zero, the plain one with it.
bool PlatformCurrentUserName(char* out, uint32_t size) {
    if (size == 0) {
        return false;
    }
    ULONG extendedSize = size;
    if (GetUserNameExA(NameSamCompatible, out, &extendedSize) && extendedSize < size &&
        out[0] != 0) {
        return true;
    }
    DWORD plainSize = size;
    if (GetUserNameA(out, &plainSize) && plainSize <= size && out[0] != 0) {
        return true;
    }
    out[0] = 0;
    return false;
}
