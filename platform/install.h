// The operating system's part of installing the program into a folder that only administrators
// can change (servers/install.h decides when and in what order), and of removing that copy.
#pragma once
#include <cstdint>

// The platform's 260 characters of a path, and the zero.
constexpr uint32_t INSTALL_PATH_SIZE = 261;

// Administrators, the owner of everything the install creates.
constexpr const char* INSTALL_OWNER_SID = "S-1-5-32-544";

// Opens the running program's file so that nobody may write to it, rename it or delete it
// while the program runs: the install copies from this handle, so that the file copied is the
// file running. Called once at start-up; false when it could not be opened.
bool PlatformHoldOwnFile();

// The Program Files folder that Windows gives a 32-bit program, and "\Chronoplex" under it.
// Asked of Windows, never taken from the environment, which belongs to the user. False when
// Windows names none, or the path does not fit.
bool PlatformInstallFolder(char* folder, uint32_t size);

bool PlatformFolderExists(const char* folder);
bool PlatformFileExists(const char* path);

// The file version of the file's version resource, its four parts from the most significant
// down; of the running program's file when path is null. False when it has none.
bool PlatformFileVersion(const char* path, uint64_t* version);

// Creates the folder, or a copy of the held program file under the name to (never over an
// existing file), owned by ownerSid from the start: with User Account Control off the creator
// is the administrator's own account, and an inherited CREATOR OWNER entry would give that
// account full control. The rest of the permissions are inherited. False on any failure.
bool PlatformMakeFolder(const char* folder, const char* ownerSid);
bool PlatformCopyOwnFile(const char* to, const char* ownerSid);

// Renames from to to, replacing an existing to.
bool PlatformRenameFile(const char* from, const char* to);
bool PlatformDeleteFile(const char* path);
// Removes the folder only when it is empty.
bool PlatformDeleteFolder(const char* folder);

// The one door from the install to the judge of places (platform/program_place.h): whether
// path, a folder or a file, lies where only administrators can change it, a folder judged as
// the own folder of a program in it. Judged by handle from the drive's root down, and path must
// be its own final path. What was judged safe stays held, each level without delete sharing,
// until PlatformReleasePlace or the next judging: nothing on the way may be renamed, deleted or
// swapped for a junction, so that the file started is the file judged.
bool PlatformInstallPlaceSafe(const char* path, bool isFolder);
void PlatformReleasePlace();

// Starts the program file by its full path, without arguments, with folder as its current
// directory, held before its first instruction until PlatformResumeProgram. False when it could
// not be started.
bool PlatformStartProgram(const char* path, const char* folder);
void PlatformResumeProgram();

// Registers the file, or an empty folder, for removal when Windows next starts, after those
// registered before it. A running program cannot delete its own file.
bool PlatformRemoveAtRestart(const char* path);
