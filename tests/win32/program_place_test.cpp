// The rule of the program's place over security descriptors that the test builds from SDDL,
// with the platform's own calls; and the real check on this suite's own file, which Wine shows
// as the user's with full access, so it is never safe here.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/program_place.h"
#include "platform/win32/place_rule.h"

namespace {

#define TI "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define ANA "S-1-5-21-1004336348-1177238915-682003330-1001" // an administrator's own user SID
// Every object's usual start: SYSTEM, Administrators and TrustedInstaller in full control,
// Users reading and running.
#define USUAL "(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" TI ")(A;;0x1200a9;;;BU)"

// What SDDL cannot say (Wine reads "D:NO_ACCESS_CONTROL" as an empty DACL, and knows no
// object or callback entries) is made on the parsed descriptor.
enum Tweak { AS_WRITTEN, NULL_DACL, LAST_ENTRY_CALLBACK };

TEST(ProgramPlace, RuleOverDescriptors) {
    const struct {
        const char* what;
        PlaceRole role;
        const char* sddl;
        bool safe;
        Tweak tweak = AS_WRITTEN;
    } cases[] = {
        {"safe file", PLACE_FILE, "O:BAD:" USUAL, true},
        {"safe own folder", PLACE_OWN_FOLDER, "O:BAD:" USUAL, true},
        {"owned by SYSTEM", PLACE_FILE, "O:SYD:" USUAL, true},
        {"owned by TrustedInstaller", PLACE_FOLDER_ABOVE, "O:" TI "D:" USUAL, true},
        {"an empty DACL", PLACE_FILE, "O:BAD:", true},
        {"a file Users may write", PLACE_FILE, "O:BAD:" USUAL "(A;;0x2;;;BU)", false},
        {"a file Users may append to", PLACE_FILE, "O:BAD:" USUAL "(A;;0x4;;;BU)", false},
        {"a file its administrator's own SID may change", PLACE_FILE,
         "O:BAD:" USUAL "(A;;0x1301bf;;;" ANA ")", false},
        {"a file Everyone may delete", PLACE_FILE, "O:BAD:" USUAL "(A;;SD;;;WD)", false},
        {"an own folder Authenticated Users may add files to", PLACE_OWN_FOLDER,
         "O:BAD:" USUAL "(A;;0x2;;;AU)", false},
        {"an own folder INTERACTIVE may add folders to", PLACE_OWN_FOLDER,
         "O:BAD:" USUAL "(A;;0x4;;;IU)", false},
        {"an own folder Users may empty", PLACE_OWN_FOLDER, "O:BAD:" USUAL "(A;;0x40;;;BU)", false},
        {"a folder above Users may rename", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;SD;;;BU)",
         false},
        {"a folder above Users may empty", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;0x40;;;BU)",
         false},
        {"a folder above Users may re-permit", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;WD;;;BU)",
         false},
        {"a folder above Users may take", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;WO;;;BU)", false},
        // C:\ as Windows makes it: users may create folders in it, and the rights they get in
        // those are inherit-only here.
        {"a folder above Users may only add to", PLACE_FOLDER_ABOVE,
         "O:" TI "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
         "(A;OICIIO;SDGXGWGR;;;AU)",
         true},
        {"the same as the program's own folder", PLACE_OWN_FOLDER,
         "O:" TI "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
         "(A;OICIIO;SDGXGWGR;;;AU)",
         false},
        // ... and as the folder above the program's own: the program's folder, once gone, could
        // be made again by anyone.
        {"the same as the parent folder", PLACE_PARENT_FOLDER,
         "O:" TI "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
         "(A;OICIIO;SDGXGWGR;;;AU)",
         false},
        {"a parent folder as Program Files", PLACE_PARENT_FOLDER,
         "O:" TI "D:(A;;FA;;;" TI ")(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)"
         "(A;OICIIO;GA;;;CO)",
         true},
        {"a file Users may write the attributes of", PLACE_FILE, "O:BAD:" USUAL "(A;;0x100;;;BU)",
         false},
        {"a file Users may write the extended attributes of", PLACE_FILE,
         "O:BAD:" USUAL "(A;;0x10;;;BU)", false},
        {"our task", PLACE_TASK, "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", true},
        {"a task Users may change", PLACE_TASK, "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FW;;;BU)",
         false},
        {"a task of TrustedInstaller", PLACE_TASK, "O:" TI "D:(A;;FA;;;SY)(A;;FA;;;BA)", false},
        // Program Files as Windows makes it.
        {"inherit-only CREATOR OWNER", PLACE_FOLDER_ABOVE,
         "O:" TI "D:(A;;FA;;;" TI ")(A;CIIO;GA;;;" TI ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)"
         "(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"
         "(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)",
         true},
        {"CREATOR OWNER on the object itself", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;GA;;;CO)",
         false},
        {"a deny entry alone", PLACE_FILE, "O:BAD:(D;;FA;;;BU)" USUAL, true},
        {"a deny entry before an allow", PLACE_FILE, "O:BAD:(D;;FA;;;BU)" USUAL "(A;;FA;;;BU)",
         false},
        {"a null DACL", PLACE_FILE, "O:BAD:" USUAL, false, NULL_DACL},
        {"no DACL", PLACE_FILE, "O:BA", false},
        {"a non-admin owner", PLACE_FILE, "O:" ANA "D:" USUAL, false},
        {"Users as owner", PLACE_FOLDER_ABOVE, "O:BUD:" USUAL, false},
        {"generic write", PLACE_FILE, "O:BAD:" USUAL "(A;;GW;;;BU)", false},
        {"generic all", PLACE_FOLDER_ABOVE, "O:BAD:" USUAL "(A;;GA;;;AU)", false},
        {"generic read and execute", PLACE_OWN_FOLDER, "O:BAD:" USUAL "(A;;GRGX;;;WD)", true},
        {"OWNER RIGHTS of an administrators' file", PLACE_FILE, "O:BAD:" USUAL "(A;;FA;;;S-1-3-4)",
         true},
        {"OWNER RIGHTS of a user's file", PLACE_FILE, "O:" ANA "D:(A;;FA;;;S-1-3-4)", false},
        {"an entry of an unknown type", PLACE_FILE, "O:BAD:" USUAL "(A;;FA;;;BA)", false,
         LAST_ENTRY_CALLBACK},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << c.what << ": " << GetLastError();
        if (c.tweak == NULL_DACL) {
            PSID owner = nullptr;
            BOOL defaulted = FALSE;
            SECURITY_DESCRIPTOR absolute;
            ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
            ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
            ASSERT_TRUE(SetSecurityDescriptorOwner(&absolute, owner, FALSE));
            ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE));
            EXPECT_EQ(PlaceDescriptorSafe(&absolute, c.role), c.safe) << c.what;
            LocalFree(descriptor);
            continue;
        }
        if (c.tweak == LAST_ENTRY_CALLBACK) {
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = nullptr;
            ACL_SIZE_INFORMATION size = {};
            void* entry = nullptr;
            ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
            ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));
            ASSERT_TRUE(GetAce(dacl, size.AceCount - 1, &entry));
            static_cast<ACE_HEADER*>(entry)->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        }
        EXPECT_EQ(PlaceDescriptorSafe(descriptor, c.role), c.safe) << c.what;
        LocalFree(descriptor);
    }
    EXPECT_FALSE(PlaceDescriptorSafe(nullptr, PLACE_FILE));
}

// Wine shows this suite's file as its user's own, with full access for that user. The final
// path is found all the same, in the drive-letter form, and nothing stays held.
TEST(ProgramPlace, ThisSuiteIsNotSafeUnderWine) {
    char module[MAX_PATH + 1];
    ASSERT_GT(GetModuleFileNameA(nullptr, module, sizeof module), 0u);
    char finalPath[MAX_PATH + 1];
    memset(finalPath, 'x', sizeof finalPath);
    PlaceHold hold = {};
    EXPECT_FALSE(PlatformPlaceSafe(module, finalPath, sizeof finalPath, &hold));
    EXPECT_LT(strlen(finalPath), sizeof finalPath);
    EXPECT_EQ(hold.count, 0);
    char tiny[4];
    EXPECT_FALSE(PlatformPlaceSafe(module, tiny, sizeof tiny, &hold));
    EXPECT_STREQ(tiny, "");
}

// The walk by handle, with a rule that passes every descriptor (Wine's never pass the real
// one). Wine makes no junctions, but shows a Unix symbolic link as a reparse point, so one is
// made with ln.
std::string rolesSeen;
bool AnyDescriptor(PSECURITY_DESCRIPTOR, PlaceRole role) {
    rolesSeen += "FOPAT"[role];
    return true;
}

void MakeFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    CloseHandle(file);
}

TEST(ProgramPlace, WalkByHandle) {
    for (const char* folder : {"C:\\walk", "C:\\walk\\Real", "C:\\walk\\%x%"}) {
        CreateDirectoryA(folder, nullptr);
    }
    MakeFile("C:\\walk\\Real\\F.exe");
    MakeFile("C:\\walk\\%x%\\F.exe");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    char command[] = "ln -sfn Real walk/link";
    ASSERT_TRUE(CreateProcessA("Z:\\bin\\ln", command, nullptr, nullptr, FALSE, 0, nullptr, "C:\\",
                               &startup, &process));
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ASSERT_NE(GetFileAttributesA("C:\\walk\\link") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    const struct {
        const char* what;
        const char* path;
        bool held;
        bool folder = false; // judged as the own folder of a program in it
    } cases[] = {
        {"every level as it is", "C:\\walk\\Real\\F.exe", true},
        {"a folder", "C:\\walk\\Real", true, true},
        {"a folder through a link", "C:\\walk\\link", false, true},
        {"a file taken for a folder", "C:\\walk\\Real\\F.exe", false, true},
        {"a folder taken for a file", "C:\\walk\\Real", false},
        {"a string other than the held file's final path", "C:\\walk\\real\\f.exe", false},
        {"a link below the resolved path", "C:\\walk\\link\\F.exe", false},
        {"a '%' in the path", "C:\\walk\\%x%\\F.exe", false},
        {"a missing file", "C:\\walk\\Real\\G.exe", false},
        {"an empty name", "C:\\walk\\\\Real\\F.exe", false},
        {"a file at the root", "C:\\", false},
    };
    for (const auto& c : cases) {
        PlaceHold hold = {};
        rolesSeen.clear();
        EXPECT_EQ(HoldPlace(c.path, AnyDescriptor, &hold, c.folder), c.held) << c.what;
        EXPECT_EQ(hold.count, !c.held ? 0 : c.folder ? 3 : 4) << c.what;
        if (!c.held) {
            continue;
        }
        EXPECT_EQ(rolesSeen, c.folder ? "APO" : "APOF") << "from the root down";
        // Held: neither the file nor any folder on its way can be renamed; a held folder
        // still takes new files.
        EXPECT_FALSE(MoveFileA("C:\\walk\\Real", "C:\\walk\\Moved"));
        EXPECT_EQ(MoveFileA("C:\\walk\\Real\\F.exe", "C:\\walk\\Real\\H.exe"), c.folder);
        if (c.folder) {
            EXPECT_TRUE(MoveFileA("C:\\walk\\Real\\H.exe", "C:\\walk\\Real\\F.exe"));
            MakeFile("C:\\walk\\Real\\N.exe");
            EXPECT_TRUE(DeleteFileA("C:\\walk\\Real\\N.exe"));
        }
        EXPECT_FALSE(MoveFileA("C:\\walk", "C:\\walked"));
        PlatformReleasePlace(&hold);
        EXPECT_EQ(hold.count, 0);
        EXPECT_TRUE(MoveFileA("C:\\walk\\Real", "C:\\walk\\Moved"));
        EXPECT_TRUE(MoveFileA("C:\\walk\\Moved", "C:\\walk\\Real"));
    }
    // The final path is resolved first: a link in the path given is not one in the final path.
    char finalPath[MAX_PATH + 1];
    PlaceHold hold = {};
    EXPECT_FALSE(PlatformPlaceSafe("C:\\walk\\link\\F.exe", finalPath, sizeof finalPath, &hold));
    EXPECT_STREQ(finalPath, "C:\\walk\\Real\\F.exe");
}

} // namespace
