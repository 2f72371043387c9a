// The settings store against the real registry of this suite's own Wine prefix.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/logon_task.h"
#include "servers/logon_task.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"

namespace {

void DeleteSettingsKey() {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, &key) != ERROR_SUCCESS) {
        return;
    }
    // RegDeleteKey refuses a key with subkeys; the store never makes any.
    RegCloseKey(key);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY), ERROR_SUCCESS);
}

bool SettingsKeyExists() {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Type, size and bytes of a value as the platform itself reports them.
struct Stored {
    LONG result;
    DWORD type;
    DWORD size;
    BYTE data[512];
};

Stored Query(const char* path, const char* name) {
    Stored s = {};
    HKEY key;
    s.result = RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key);
    if (s.result != ERROR_SUCCESS) {
        return s;
    }
    s.size = sizeof s.data;
    s.result = RegQueryValueExA(key, name, nullptr, &s.type, s.data, &s.size);
    RegCloseKey(key);
    return s;
}

void Plant(const char* name, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_BINARY, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class Win32Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakes();
        DeleteSettingsKey();
    }
    void TearDown() override { EXPECT_EQ(fakeLog.fatalCount, 0) << fakeLog.fatalText; }
};

TEST_F(Win32Settings, EveryValueRoundTrips) {
    const struct {
        const char* name;
        DWORD size;
        DWORD type;
    } values[] = {{"Version", 4, REG_DWORD},
                  {"CorrectOnLaunch", 1, REG_BINARY},
                  {"Schedule", 4, REG_DWORD},
                  {"Offset", 8, REG_BINARY},
                  {"LastCorrectionTime", 8, REG_BINARY},
                  {"LastCorrectionValue", 8, REG_BINARY},
                  {"WindowPlacement", 44, REG_BINARY},
                  {"Server000", 152, REG_BINARY},
                  {"Server063", 152, REG_BINARY}};
    for (const auto& v : values) {
        BYTE bytes[152];
        for (DWORD i = 0; i < sizeof bytes; i++) {
            bytes[i] = static_cast<BYTE>(v.size * 3 + i);
        }
        WriteSetting(v.name, bytes, v.size);
        Stored s = Query(SETTINGS_KEY, v.name);
        ASSERT_EQ(s.result, ERROR_SUCCESS) << v.name;
        EXPECT_EQ(s.type, v.type) << v.name;
        EXPECT_EQ(s.size, v.size) << v.name;
        EXPECT_EQ(memcmp(s.data, bytes, v.size), 0) << v.name;
        BYTE back[152] = {};
        uint32_t size = 0;
        EXPECT_TRUE(ReadSetting(v.name, back, v.size, &size)) << v.name;
        EXPECT_EQ(size, v.size);
        EXPECT_EQ(memcmp(back, bytes, v.size), 0) << v.name;
    }
    WriteSetting("Version", nullptr, 0);
    EXPECT_EQ(Query(SETTINGS_KEY, "Version").result, ERROR_FILE_NOT_FOUND);
    WriteSetting("Version", nullptr, 0); // already gone: no error
}

TEST_F(Win32Settings, KeyComesWithTheFirstWriteOnly) {
    int64_t offset = 7;
    EXPECT_FALSE(ReadSetting("Offset", &offset, sizeof offset));
    EXPECT_EQ(offset, 7);
    EXPECT_FALSE(SettingsKeyExists());
    WriteSetting("Offset", &offset, sizeof offset);
    EXPECT_TRUE(SettingsKeyExists());
    offset = 0;
    EXPECT_TRUE(ReadSetting("Offset", &offset, sizeof offset));
    EXPECT_EQ(offset, 7);
}

TEST_F(Win32Settings, OversizedValuesLoadWithoutOverflow) {
    BYTE big[300];
    memset(big, 'z', sizeof big);
    Plant("Offset", big, 16);
    struct {
        uint64_t before;
        int64_t offset;
        uint64_t after;
    } guarded = {1, 2, 3};
    EXPECT_FALSE(ReadSetting("Offset", &guarded.offset, sizeof guarded.offset));
    EXPECT_EQ(guarded.before, 1u);
    EXPECT_EQ(guarded.offset, 2);
    EXPECT_EQ(guarded.after, 3u);
    Plant("Offset", "\x44\x33\x22\x11", 4); // a short one fills the first bytes only
    guarded.offset = -1;
    EXPECT_TRUE(ReadSetting("Offset", &guarded.offset, sizeof guarded.offset));
    EXPECT_EQ(static_cast<uint64_t>(guarded.offset), 0xFFFFFFFF11223344u);
    EXPECT_EQ(guarded.after, 3u);

    // Server002 too long, Server004 too short, Server003 as the program writes it.
    memset(serverTable, 0, sizeof serverTable);
    ServerRecord good = {};
    strcpy(good.name, "127.0.0.2");
    good.enabled = 1;
    good.status = Used;
    good.latency = 12;
    Plant("Server002", big, 300);
    Plant("Server003", &good, sizeof good);
    Plant("Server004", big, 100);
    memset(&serverTable[4], 0x66, sizeof serverTable[4]);
    needDefaults = false;
    LoadServerList();
    EXPECT_TRUE(IsFreeSlot(serverTable[2]));
    EXPECT_EQ(memcmp(&serverTable[3], &good, sizeof good), 0);
    EXPECT_TRUE(IsFreeSlot(serverTable[4]));
    EXPECT_EQ(serverTable[4].latency, 0x66666666u);
    EXPECT_EQ(serverTable[4].name[1], 0x66);
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        EXPECT_EQ(IsFreeSlot(serverTable[slot]), slot != 3) << slot;
    }
}

std::string Command(char letter) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_GT(length, 0u);
    return std::string("\"") + path + "\" " + letter;
}

void ExpectText(const char* path, const char* name, const std::string& text) {
    Stored s = Query(path, name);
    ASSERT_EQ(s.result, ERROR_SUCCESS) << name;
    EXPECT_EQ(s.type, static_cast<DWORD>(REG_SZ)) << name;
    EXPECT_EQ(s.size, text.size() + 1) << name;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data)), text) << name;
}

// Under Wine every file reads as the user's own, so the program's place is never safe: the
// automatic start writes neither the task nor the Run value nor the uninstall entry, and a Run
// value or an uninstall entry that starts this file goes. The platform's task calls themselves
// still work: Wine takes a group task with its permissions and keeps its name, gives nothing
// else back, and refuses a second task of that name. Giving the schedule up removes the task.
TEST_F(Win32Settings, AutoStartAndUninstallEntries) {
    // A real system has the Run key; a fresh prefix may not.
    HKEY run;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, RUN_KEY, &run), ERROR_SUCCESS);
    const std::string older = Command('s');
    RegSetValueExA(run, "Chronoplex", 0, REG_SZ, reinterpret_cast<const BYTE*>(older.c_str()),
                   static_cast<DWORD>(older.size() + 1));
    RegCloseKey(run);

    LogonTaskFacts facts;
    EXPECT_EQ(RegisterAutoStart(true), 0u);
    EXPECT_EQ(PlatformReadLogonTask(LOGON_TASK_NAME, &facts), LOGON_TASK_ABSENT);
    EXPECT_EQ(programPlaceUnsafe, 1);
    EXPECT_EQ(logonTaskRefused, 0);
    EXPECT_EQ(Query(RUN_KEY, "Chronoplex").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(UNINSTALL_KEY, "UninstallString").result, ERROR_FILE_NOT_FOUND);
    HKEY uninstall;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, &uninstall), ERROR_SUCCESS);
    const std::string entry = Command('u');
    RegSetValueExA(uninstall, "UninstallString", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(entry.c_str()),
                   static_cast<DWORD>(entry.size() + 1));
    RegCloseKey(uninstall);
    ExpectText(UNINSTALL_KEY, "UninstallString", entry);
    EXPECT_EQ(RegisterAutoStart(true), 0u);
    EXPECT_EQ(Query(UNINSTALL_KEY, "UninstallString").result, ERROR_FILE_NOT_FOUND);

    char xml[LOGON_TASK_XML_SIZE];
    ASSERT_TRUE(BuildLogonTaskXml(xml, sizeof xml, "C:\\Program Files\\Chronoplex\\x.exe"));
    EXPECT_EQ(PlatformRegisterLogonTask(LOGON_TASK_NAME, xml), 0);
    EXPECT_EQ(PlatformRegisterLogonTask(LOGON_TASK_NAME, xml), LOGON_TASK_EXISTS);
    EXPECT_EQ(PlatformReadLogonTask(LOGON_TASK_NAME, &facts), LOGON_TASK_PRESENT);
    EXPECT_TRUE(LogonTaskCurrent(facts, "C:\\Program Files\\Chronoplex\\x.exe"))
        << "Wine gave back " << facts.command << " " << facts.actions << " "
        << facts.permissionsRead;

    EXPECT_EQ(RegisterAutoStart(false), 0u);
    EXPECT_EQ(PlatformReadLogonTask(LOGON_TASK_NAME, &facts), LOGON_TASK_ABSENT);
    EXPECT_EQ(programPlaceUnsafe, 0);
    EXPECT_EQ(PlatformDeleteLogonTask(LOGON_TASK_NAME), 0); // a missing task counts as deleted
    EXPECT_EQ(Query(RUN_KEY, "Chronoplex").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegisterAutoStart(false), 0u); // removing what is gone is silent
    EXPECT_EQ(Query(UNINSTALL_KEY, "DisplayName").result, ERROR_FILE_NOT_FOUND);
}

} // namespace
