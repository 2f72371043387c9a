// The real clock, registry, logon-task, program-place and install-place calls under the names
// the fault hooks forward to; the hooks take the platform names in their place.
#define PlatformSetSystemTime RealPlatformSetSystemTime
#define PlatformRegSetValue RealPlatformRegSetValue
#define PlatformRegDeleteValue RealPlatformRegDeleteValue
#define PlatformRegisterLogonTask RealPlatformRegisterLogonTask
#define PlatformDeleteLogonTask RealPlatformDeleteLogonTask
#define PlatformReadLogonTask RealPlatformReadLogonTask
#define PlatformPlaceSafe RealPlatformPlaceSafe
#define PlatformInstallPlaceSafe RealPlatformInstallPlaceSafe
#include "platform/win32/clock.cpp"
#include "platform/win32/registry.cpp"
#include "platform/win32/logon_task.cpp"
#include "platform/win32/program_place.cpp"
#include "platform/win32/install_place.cpp"
