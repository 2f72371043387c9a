// The real clock and registry calls under the names the fault hooks forward to; the hooks take
// the platform names in their place.
#define PlatformSetSystemTime RealPlatformSetSystemTime
#define PlatformRegSetValue RealPlatformRegSetValue
#define PlatformRegDeleteValue RealPlatformRegDeleteValue
#include "platform/win32/clock.cpp"
#include "platform/win32/registry.cpp"
