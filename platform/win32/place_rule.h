// The rule of platform/program_place.h over one object's security descriptor, and the walk that
// applies it level by level, apart from one another, so that a test can hand the rule
// descriptors it built itself and the walk a rule of its own.
#pragma once
#include <windows.h>

#include "platform/program_place.h"

// What the object is to the program: the file itself, the folder it lies in, the folder above
// that, or a folder further up; each role forbids other rights (platform/program_place.h).
// A task of the Task Scheduler is judged as a file, with SYSTEM and Administrators alone
// trusted.
enum PlaceRole {
    PLACE_FILE,
    PLACE_OWN_FOLDER,
    PLACE_PARENT_FOLDER,
    PLACE_FOLDER_ABOVE,
    PLACE_TASK
};

// True when the descriptor's owner is trusted (Administrators, SYSTEM or TrustedInstaller) and
// its DACL grants none of the role's forbidden rights to anyone else. Inherit-only entries do
// not apply to the object and are skipped; OWNER RIGHTS stands for the owner; generic rights
// count as the file rights they map to; deny entries are ignored, so that only what is allowed
// counts (a deny entry can only take rights away, and judging without it never calls a place
// safe that is not). No owner, no DACL or a null DACL (everyone may do everything), or an
// entry of a type not known here: not safe.
bool PlaceDescriptorSafe(PSECURITY_DESCRIPTOR descriptor, PlaceRole role);

using PlaceJudge = bool (*)(PSECURITY_DESCRIPTOR descriptor, PlaceRole role);

// The walk over a final path ("C:\Program Files\Chronoplex\chronoplex.exe"): from the drive's
// root down, each level opened by handle without delete sharing and without following a link
// or junction, which refuses the place, each descriptor read from its handle and judged; and at
// the end the held file's own final path compared with finalPath, character for character.
// True with every handle in hold when all of it passed; false with nothing held otherwise.
// The drive's kind and the '%' are judged before anything is opened. A folder (isFolder) is
// judged as the own folder of a program file in it, each level above it as it would be then.
bool HoldPlace(const char* finalPath, PlaceJudge judge, PlaceHold* hold, bool isFolder = false);
