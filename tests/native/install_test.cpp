#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "servers/install.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

const char DOWNLOADED[] = "C:\\Users\\a\\Downloads\\chronoplex.exe";
const char INSTALLED[] = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
constexpr uint64_t OWN = uint64_t{0x00020001} << 32;

void StartFrom(const char* path, bool safe) {
    ResetWorld();
    SimSetModuleFileName(path);
    SimSetProgramPlace(safe, path);
    PlatformHoldOwnFile();
}

bool StartsWith(const char* text, const char* start) {
    return strncmp(text, start, strlen(start)) == 0;
}

// Yes to the question, from a downloaded copy. A refusal leaves nothing of the attempt and
// starts and ends nothing; a second offer in the same process asks nothing.
TEST(Install, Table) {
    const struct {
        const char* name;
        bool folder, folderSafe, fileSafe, uacOff, copyFails, renameFails;
        uint64_t installed; // 0: none
        const char* question;
        const char* why; // start of a refusal; null when the installed copy is started
        bool folderAfter;
        uint64_t versionAfter; // 0: no file
    } cases[] = {
        {"no folder", false, true, true, false, false, false, 0,
         "Install Chronoplex in C:\\Program Files\\Chronoplex and", nullptr, true, OWN},
        {"safe folder", true, true, true, false, false, false, 0, "Install", nullptr, true, OWN},
        {"unsafe folder", true, false, true, false, false, false, 0, "Install",
         "Chronoplex was not installed: the folder C:\\Program Files\\Chronoplex is", true, 0},
        {"copy fails", false, true, true, false, true, false, 0, "Install",
         "Chronoplex was not installed: Windows did not let it copy", false, 0},
        {"rename fails", true, true, true, false, false, true, OWN - 1, "Replace the older",
         "Chronoplex was not installed: Windows did not let it put", true, OWN - 1},
        {"UAC off", false, true, true, true, false, false, 0, "Install", nullptr, true, OWN},
        {"newer", true, true, true, false, false, false, OWN + 1, "A newer Chronoplex is", nullptr,
         true, OWN + 1},
        {"equal", true, true, true, false, false, false, OWN,
         "Install Chronoplex in C:\\Program "
         "Files\\Chronoplex, in place of the copy of this version",
         nullptr, true, OWN},
        {"older", true, true, true, false, false, false, OWN - 1, "Replace the older", nullptr,
         true, OWN},
        {"installed place unsafe", false, true, false, false, false, false, 0, "Install",
         "Chronoplex was not installed: in C:\\Program Files\\Chronoplex, users", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartFrom(DOWNLOADED, false);
        SimInstallState& s = *SimInstall();
        s.folderExists = c.folder;
        strcpy(s.folderOwner, c.folder ? INSTALL_OWNER_SID : "");
        s.fileExists = c.installed != 0;
        s.fileVersion = c.installed;
        strcpy(s.fileOwner, INSTALL_OWNER_SID);
        s.folderSafe = c.folderSafe;
        s.fileSafe = c.fileSafe;
        s.uacOff = c.uacOff;
        s.copyFails = c.copyFails;
        s.renameFails = c.renameFails;
        SimQueueBoxAnswer(ANSWER_YES);
        EXPECT_TRUE(OfferInstall(nullptr));
        const bool started = c.why == nullptr;
        EXPECT_EQ(SimBoxCount(), started ? 1 : 2);
        EXPECT_EQ(s.starts, started ? 1 : 0);
        EXPECT_EQ(s.resumes, s.starts);
        EXPECT_EQ(fakeLog.exitCount, s.starts);
        EXPECT_EQ(s.heldAtResume, started);
        if (started) {
            EXPECT_EQ(std::string(s.started),
                      std::string(INSTALLED) + "|C:\\Program Files\\Chronoplex");
        } else {
            EXPECT_TRUE(StartsWith(SimLastBoxText(), c.why)) << SimLastBoxText();
        }
        EXPECT_FALSE(s.held);
        EXPECT_FALSE(s.tempExists);
        EXPECT_EQ(s.folderExists, c.folderAfter);
        EXPECT_EQ(s.fileExists, c.versionAfter != 0);
        if (s.fileExists) {
            EXPECT_EQ(s.fileVersion, c.versionAfter);
            EXPECT_STREQ(s.fileOwner, INSTALL_OWNER_SID);
        }
        if (s.folderExists) {
            EXPECT_STREQ(s.folderOwner, INSTALL_OWNER_SID);
        }
        SimQueueBoxAnswer(ANSWER_YES);
        EXPECT_TRUE(OfferInstall(nullptr));
        EXPECT_EQ(SimBoxCount(), started ? 1 : 2);
    }
    // The question as a whole, answered No.
    StartFrom(DOWNLOADED, false);
    SimQueueBoxAnswer(ANSWER_NO);
    OfferInstall(nullptr);
    EXPECT_TRUE(StartsWith(SimLastBoxText(), "Chronoplex starts itself at logon with "));
    EXPECT_EQ(SimInstall()->starts + SimInstall()->folderExists, 0);
}

// The uninstall entry starts this program: what the command names, or an empty text.
std::string UninstallEntry() {
    const uint8_t* data = SimRegValueData(UNINSTALL_KEY, "UninstallString");
    std::string command = data != nullptr ? reinterpret_cast<const char*>(data) : "";
    return command.size() > 4 ? command.substr(1, command.size() - 4) : "";
}

// The installed copy takes its entry and registers its files, a leftover temporary file
// deleted at once; another copy takes an entry only when it names that copy, or a copy that is
// gone.
TEST(Install, Uninstall) {
    const struct {
        const char* self;
        const char* entry;
        bool installedSafe; // the installed copy's place, to the downloaded one
        const char* entryAfter;
    } cases[] = {
        {INSTALLED, DOWNLOADED, true, ""},  {INSTALLED, INSTALLED, true, ""},
        {DOWNLOADED, DOWNLOADED, true, ""}, {DOWNLOADED, INSTALLED, true, INSTALLED},
        {DOWNLOADED, INSTALLED, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.self) + " " + c.entry);
        const bool installed = strcmp(c.self, INSTALLED) == 0;
        StartFrom(c.self, installed);
        if (!installed && c.installedSafe) {
            SimSetPlace(INSTALLED, SIM_PLACE_SAFE);
        }
        SimInstall()->folderExists = SimInstall()->fileExists = SimInstall()->tempExists = true;
        RegKey key = 0;
        PlatformRegCreateKey(UNINSTALL_KEY, &key);
        const std::string command = std::string("\"") + c.entry + "\" u";
        PlatformRegSetValue(key, "UninstallString", REGISTRY_SZ, command.c_str(),
                            static_cast<uint32_t>(command.size() + 1));
        PlatformRegCloseKey(key);
        EXPECT_EQ(RemoveEntriesOfThisFile(), 0u);
        char text[512] = {};
        EXPECT_EQ(FinishUninstall(text, sizeof text), installed);
        EXPECT_EQ(UninstallEntry(), c.entryAfter);
        EXPECT_EQ(SimInstall()->tempExists, !installed);
        ASSERT_EQ(SimInstall()->pendingCount, installed ? 2 : 0);
        if (installed) {
            EXPECT_STREQ(SimInstall()->pending[0], INSTALLED);
            EXPECT_STREQ(SimInstall()->pending[1], "C:\\Program Files\\Chronoplex");
            EXPECT_STREQ(text, "Uninstall complete.  Windows removes C:\\Program Files\\Chronoplex"
                               "\\chronoplex.exe, and then the folder if nothing else is left "
                               "in it, when it next restarts.");
        }
    }
}

} // namespace
