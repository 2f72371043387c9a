// The install's one door to the judge of places, and the hold on what it judged.
#include "platform/install.h"
#include "platform/program_place.h"
#include "platform/win32/place_rule.h"

namespace {

PlaceHold held = {};

} // namespace

void PlatformReleasePlace() {
    PlatformReleasePlace(&held);
}

// The install names its paths itself, so each must already be its own final path: one that
// leads elsewhere through a link or junction, or differs in any character, is not safe.
bool PlatformInstallPlaceSafe(const char* path, bool isFolder) {
    PlatformReleasePlace();
    return HoldPlace(path, PlaceDescriptorSafe, &held, isFolder);
}
