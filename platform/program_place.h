// Where a program file lies, and whether a standard user can change what runs from there. A
// program that starts itself elevated at logon, or that an uninstaller runs as SYSTEM, must lie
// where only Administrators (S-1-5-32-544), SYSTEM (S-1-5-18) and TrustedInstaller can change
// it; anywhere else, any program of a standard user could replace it and be started with an
// administrator's rights.
//
// Safe means, by the SIDs in each object's owner and DACL (never by names):
//   - the file: none but those three may write it, append to it, write its attributes or
//     extended attributes, delete it, or change its permissions or owner, and one of them
//     owns it;
//   - its folder, and the folder above that: none but those three may add files or folders,
//     delete entries, delete or rename the folder, or change its permissions or owner, and one
//     of them owns it. Were users allowed to add folders to the parent, a folder removed
//     without the uninstall could be made again by any of them, under the name that a
//     registered entry still starts;
//   - each folder further up to the drive's root: none but those three may delete entries,
//     delete or rename it, or change its permissions or owner, and one of them owns it (an
//     owner may always rewrite the permissions). Adding entries there is allowed: every stock
//     C:\ lets users create folders.
// The path is the file's final path (links and junctions resolved), on a fixed local drive of
// its own: network paths, removable drives and SUBST or mapped drive letters are never safe,
// and they are turned away by their form and drive type before any security is read. A final
// path with a '%' in it is not safe either: the Task Scheduler expands %NAME% in a command from
// the environment of the user who logs on. Whatever cannot be read is not safe.
//
// The place is judged by handle: the final path is found first, then each level is opened
// from the drive's root down, a link or junction at any level refuses the place, and each
// descriptor is read from its open handle. The handles stay open, without delete sharing, so
// that no level can be renamed, deleted or swapped for a junction until they are released:
// whatever names the file is written while they are held.
#pragma once
#include <cstdint>

// The platform's 260 characters and the zero.
constexpr uint32_t PLACE_PATH_SIZE = 261;
// Every level of the longest path: "X:\" and one character with a backslash for each further.
constexpr int PLACE_HOLD_LEVELS = 130;

struct PlaceHold {
    void* handles[PLACE_HOLD_LEVELS];
    int count;
};

// True when the place of the file at path is safe; hold then holds the handles of the file and
// of every folder up to the drive's root, which the caller releases with PlatformReleasePlace
// once it has written what names the file. finalPath (size bytes with the zero) receives the
// file's final path in the drive-letter form ("C:\Program Files\Chronoplex\chronoplex.exe")
// whenever it was found, safe or not, and an empty text otherwise (a missing file among them).
// When the place is not safe, nothing is held.
bool PlatformPlaceSafe(const char* path, char* finalPath, uint32_t size, PlaceHold* hold);

// Closes the handles of a judged place; a hold with nothing in it is left as it is.
void PlatformReleasePlace(PlaceHold* hold);
