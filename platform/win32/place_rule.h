// The rule of platform/program_place.h over one object's security descriptor, apart from the
// path and the file system, so that a test can hand it descriptors it built itself.
#pragma once
#include <windows.h>

// What the object is to the program: the file itself, the folder it lies in, or a folder
// further up; each role forbids other rights (platform/program_place.h).
enum PlaceRole { PLACE_FILE, PLACE_OWN_FOLDER, PLACE_FOLDER_ABOVE };

// True when the descriptor's owner is Administrators, SYSTEM or TrustedInstaller and its DACL
// grants none of the role's forbidden rights to anyone else. Inherit-only entries do not apply
// to the object and are skipped; OWNER RIGHTS stands for the owner; generic rights count as
// the file rights they map to; deny entries are ignored, so that only what is allowed counts
// (a deny entry can only take rights away, and judging without it never calls a place safe
// that is not). No owner, no DACL or a null DACL (everyone may do everything), or an entry of a
// type not known here: not safe.
bool PlaceDescriptorSafe(PSECURITY_DESCRIPTOR descriptor, PlaceRole role);
