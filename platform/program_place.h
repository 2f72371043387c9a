// Where the running program's file lies, and whether a standard user can change what runs from
// there. A program that starts itself elevated at logon must lie where only Administrators
// (S-1-5-32-544), SYSTEM (S-1-5-18) and TrustedInstaller can change it; anywhere else, any
// program of a standard user could replace it and be started with an administrator's rights.
//
// Safe means, by the SIDs in each object's owner and DACL (never by names):
//   - the file: none but those three may write it, append to it, delete it, or change its
//     permissions or owner, and one of them owns it;
//   - its folder: none but those three may add files or folders, delete entries, delete or
//     rename the folder, or change its permissions or owner, and one of them owns it;
//   - each folder above it up to the drive's root: none but those three may delete entries,
//     delete or rename it, or change its permissions or owner, and one of them owns it (an
//     owner may always rewrite the permissions). Adding entries there is allowed: every stock
//     C:\ lets users create folders.
// The path is the file's final path (links and junctions resolved), on a fixed local drive of
// its own: network paths, removable drives and SUBST or mapped drive letters are never safe,
// and they are turned away by their form and drive type before any security is read. Whatever
// cannot be read is not safe either.
#pragma once
#include <cstdint>

// True when the place is safe. finalPath (size bytes with the zero) receives the file's final
// path in the drive-letter form ("C:\Program Files\Chronoplex\chronoplex.exe") whenever it was
// found, safe or not, and an empty text otherwise.
bool PlatformProgramPlaceSafe(char* finalPath, uint32_t size);

// The same rule for a path given, a file or a folder (then judged as a program's own folder),
// that must be its own final path: a path that leads elsewhere through a link or junction is
// not safe.
bool PlatformPathPlaceSafe(const char* path, bool isFolder);
