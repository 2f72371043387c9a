// The rule of the program's place over security descriptors that the test builds from SDDL,
// with the platform's own calls; and the real check on this suite's own file, which Wine shows
// as the user's with full access, so it is never safe here.
#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <cstring>

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
// path is found all the same, in the drive-letter form.
TEST(ProgramPlace, ThisSuiteIsNotSafeUnderWine) {
    char finalPath[MAX_PATH + 1];
    memset(finalPath, 'x', sizeof finalPath);
    EXPECT_FALSE(PlatformProgramPlaceSafe(finalPath, sizeof finalPath));
    EXPECT_LT(strlen(finalPath), sizeof finalPath);
    char tiny[4];
    EXPECT_FALSE(PlatformProgramPlaceSafe(tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "");
}

} // namespace
