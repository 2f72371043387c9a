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
const char FOLDER[] = "C:\\Program Files\\Chronoplex";
const char INSTALLED[] = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
const char ADMINISTRATORS[] = "S-1-5-32-544";
const char USER[] = "S-1-5-21-1-2-3-1001";
constexpr uint64_t OWN = uint64_t{0x00020001} << 32;

enum Before { NO_FOLDER, SAFE_FOLDER, UNSAFE_FOLDER, OLDER, SAME, NEWER };

void StartDownloaded() {
    ResetWorld();
    SimSetModuleFileName(DOWNLOADED);
    SimSetProgramPlace(false, DOWNLOADED);
    PlatformHoldOwnFile();
}

void Prepare(Before before) {
    SimInstallState& s = *SimInstall();
    s.folderExists = before != NO_FOLDER;
    s.folderSafe = before != UNSAFE_FOLDER;
    snprintf(s.folderOwner, sizeof s.folderOwner, "%s", ADMINISTRATORS);
    s.fileExists = before >= OLDER;
    s.fileVersion = before == OLDER ? OWN - 1 : before == SAME ? OWN : OWN + 1;
}

// Yes to the question, from a downloaded copy, for each state of the folder and each step that
// can fail. A refusal leaves nothing of the attempt, starts nothing and ends nothing; a second
// offer in the same process asks nothing.
TEST(Install, Table) {
    const struct {
        const char* name;
        Before before;
        void (*fault)(SimInstallState&);
        const char* question; // part of the question
        bool started;
        const char* why; // start of the text of a refusal
        bool folderAfter, fileAfter;
        uint64_t versionAfter;
    } cases[] = {
        {"no folder", NO_FOLDER, nullptr, "Install Chronoplex in C:\\Program Files\\Chronoplex",
         true, nullptr, true, true, OWN},
        {"safe existing folder", SAFE_FOLDER, nullptr, "Install Chronoplex in", true, nullptr, true,
         true, OWN},
        {"unsafe existing folder", UNSAFE_FOLDER, nullptr, "Install Chronoplex in", false,
         "Chronoplex was not installed: the folder C:\\Program Files\\Chronoplex is already", true,
         false, 0},
        {"copy fails", NO_FOLDER, [](SimInstallState& s) { s.copyFails = true; },
         "Install Chronoplex in", false,
         "Chronoplex was not installed: Windows did not let it "
         "copy",
         false, false, 0},
        {"rename fails", OLDER, [](SimInstallState& s) { s.renameFails = true; },
         "Replace the older Chronoplex", false,
         "Chronoplex was not installed: Windows did not let it put", true, true, OWN - 1},
        {"UAC off", NO_FOLDER, [](SimInstallState& s) { strcpy(s.creator, USER); },
         "Install Chronoplex in", true, nullptr, true, true, OWN},
        {"newer installed", NEWER, nullptr, "A newer Chronoplex is installed in", true, nullptr,
         true, true, OWN + 1},
        {"equal installed", SAME, nullptr, "in place of the copy of this version", true, nullptr,
         true, true, OWN},
        {"older installed", OLDER, nullptr, "Replace the older Chronoplex", true, nullptr, true,
         true, OWN},
        {"installed place still unsafe", NO_FOLDER, [](SimInstallState& s) { s.fileSafe = false; },
         "Install Chronoplex in", false,
         "Chronoplex was not installed: in C:\\Program Files\\Chronoplex, users", false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartDownloaded();
        Prepare(c.before);
        SimInstallState& s = *SimInstall();
        if (c.fault != nullptr) {
            c.fault(s);
        }
        SimQueueBoxAnswer(ANSWER_YES);
        EXPECT_TRUE(OfferInstall(nullptr));
        EXPECT_EQ(SimBoxCount(), c.started ? 1 : 2);
        EXPECT_EQ(s.starts, c.started ? 1 : 0);
        EXPECT_EQ(s.resumes, s.starts);
        EXPECT_EQ(fakeLog.exitCount, c.started ? 1 : 0);
        if (c.started) {
            EXPECT_TRUE(s.heldAtResume);
            EXPECT_STREQ(s.startedPath, INSTALLED);
            EXPECT_STREQ(s.startedFolder, FOLDER);
        } else {
            EXPECT_EQ(std::string(SimLastBoxText()).rfind(c.why, 0), 0u) << SimLastBoxText();
        }
        EXPECT_FALSE(s.held);
        EXPECT_FALSE(s.tempExists);
        EXPECT_EQ(s.folderExists, c.folderAfter);
        EXPECT_EQ(s.fileExists, c.fileAfter);
        if (c.fileAfter) {
            EXPECT_EQ(s.fileVersion, c.versionAfter);
            EXPECT_STREQ(s.fileOwner[0] != 0 ? s.fileOwner : s.creator, ADMINISTRATORS);
        }
        if (c.folderAfter) {
            EXPECT_STREQ(s.folderOwner, ADMINISTRATORS);
        }
        const int boxes = SimBoxCount();
        SimQueueBoxAnswer(ANSWER_YES);
        EXPECT_TRUE(OfferInstall(nullptr));
        EXPECT_EQ(SimBoxCount(), boxes);
        EXPECT_EQ(s.starts, c.started ? 1 : 0);
    }
    // The question itself, which the table only looks into.
    StartDownloaded();
    SimQueueBoxAnswer(ANSWER_NO);
    OfferInstall(nullptr);
    EXPECT_EQ(std::string(SimLastBoxText()).rfind("Chronoplex starts itself at logon", 0), 0u);
    EXPECT_EQ(SimInstall()->starts + SimInstall()->folderExists, 0);
}

void SetEntry(const char* program) {
    RegKey key = 0;
    ASSERT_EQ(PlatformRegCreateKey(UNINSTALL_KEY, &key), PLATFORM_ERROR_SUCCESS);
    const std::string command = std::string("\"") + program + "\" u";
    PlatformRegSetValue(key, "UninstallString", REGISTRY_SZ, command.c_str(),
                        static_cast<uint32_t>(command.size() + 1));
    PlatformRegCloseKey(key);
}

// The installed copy takes its entry and its files; another copy takes an entry only when it
// names that very copy, and leaves its file to the user.
TEST(Install, Uninstall) {
    const struct {
        const char* self;
        const char* entry;
        bool removalFails;
        bool installed;
        const char* entryAfter;
        const char* text;
    } cases[] = {
        {INSTALLED, INSTALLED, false, true, nullptr,
         "Uninstall complete.  Windows removes C:\\Program Files\\Chronoplex\\chronoplex.exe, "
         "and then the folder if nothing else is left in it, when it next restarts."},
        {INSTALLED, DOWNLOADED, true, true, nullptr,
         "Uninstall complete, but Windows did not accept"},
        {DOWNLOADED, DOWNLOADED, false, false, nullptr, nullptr},
        {DOWNLOADED, INSTALLED, false, false, INSTALLED, nullptr},
        {DOWNLOADED, nullptr, false, false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.self) + " / " + (c.entry != nullptr ? c.entry : "none"));
        ResetWorld();
        SimSetModuleFileName(c.self);
        SimSetProgramPlace(strcmp(c.self, INSTALLED) == 0, c.self);
        SimInstall()->folderExists = SimInstall()->fileExists = true;
        SimInstall()->tempExists = true;
        SimInstall()->removalFails = c.removalFails;
        if (c.entry != nullptr) {
            SetEntry(c.entry);
        }
        char before[INSTALL_PATH_SIZE];
        UninstallEntryProgram(before, sizeof before);
        RegisterAutoStart(false);
        char text[512] = {};
        EXPECT_EQ(FinishUninstall(before, text, sizeof text), c.installed);
        char after[INSTALL_PATH_SIZE];
        UninstallEntryProgram(after, sizeof after);
        EXPECT_STREQ(after, c.entryAfter != nullptr ? c.entryAfter : "");
        EXPECT_EQ(SimRegKeyExists(UNINSTALL_KEY), c.entryAfter != nullptr);
        if (!c.installed) {
            EXPECT_EQ(SimInstall()->pendingCount, 0);
            continue;
        }
        EXPECT_EQ(std::string(text).rfind(c.text, 0), 0u) << text;
        EXPECT_FALSE(SimInstall()->tempExists);
        if (!c.removalFails) {
            ASSERT_EQ(SimInstall()->pendingCount, 2);
            EXPECT_STREQ(SimInstall()->pending[0], INSTALLED);
            EXPECT_STREQ(SimInstall()->pending[1], FOLDER);
        }
    }
}

} // namespace
