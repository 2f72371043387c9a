#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override { EXPECT_EQ(SimRegOpenKeyCount(), 0) << "a key was left open"; }
};

// Failed HRESULTs as the platform returns them: the scheduler's service disabled, access denied.
constexpr long E_SERVICE_DISABLED = -2147023838; // 0x80070422
constexpr long E_ACCESS = -2147024891;           // 0x80070005

const uint8_t BYTES[160] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA};

TEST_F(Settings, TypeFollowsSize) {
    const struct {
        const char* name;
        uint32_t size, type;
    } cases[] = {{"Schedule", 4, REGISTRY_DWORD},
                 {"CorrectOnLaunch", 1, REGISTRY_BINARY},
                 {"Offset", 8, REGISTRY_BINARY},
                 {"WindowPlacement", 44, REGISTRY_BINARY},
                 {"Server000", 152, REGISTRY_BINARY}};
    for (const auto& c : cases) {
        WriteSetting(c.name, BYTES, c.size);
        uint32_t type = 0, size = 0;
        ASSERT_TRUE(SimRegValueInfo(SETTINGS_KEY, c.name, &type, &size)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(memcmp(SimRegValueData(SETTINGS_KEY, c.name), BYTES, c.size), 0) << c.name;
    }
    EXPECT_EQ(fakeLog.fatalCount, 0);
}

// Deleting a missing value (how a free slot is saved) is fine; every other failure is fatal.
TEST_F(Settings, Failures) {
    const struct {
        const char* what;
        SimRegOp fail1, fail2; // SIM_REG_OP_COUNT: none
        bool erase, present, fatal;
    } cases[] = {
        {"open fails, create works", SIM_REG_OPEN, SIM_REG_OP_COUNT, false, true, false},
        {"open and create fail", SIM_REG_OPEN, SIM_REG_CREATE, false, true, true},
        {"set fails", SIM_REG_SET, SIM_REG_OP_COUNT, false, true, true},
        {"delete fails", SIM_REG_DELETE, SIM_REG_OP_COUNT, true, true, true},
        {"delete works", SIM_REG_OP_COUNT, SIM_REG_OP_COUNT, true, true, false},
        {"delete of a missing value", SIM_REG_OP_COUNT, SIM_REG_OP_COUNT, true, false, false},
    };
    for (const auto& c : cases) {
        ResetWorld();
        if (c.present) {
            WriteSetting("Schedule", BYTES, 4);
        }
        for (SimRegOp op : {c.fail1, c.fail2}) {
            if (op != SIM_REG_OP_COUNT) {
                SimRegFail(op, PLATFORM_ERROR_ACCESS_DENIED);
            }
        }
        // No data, or data with size 0, both delete.
        WriteSetting("Schedule", c.erase ? nullptr : BYTES + 4, 4);
        EXPECT_EQ(fakeLog.fatalCount, c.fatal ? 1 : 0) << c.what;
        EXPECT_STREQ(fakeLog.fatalText, c.fatal ? "Registry Problem" : "") << c.what;
        EXPECT_EQ(SimRegOpenKeyCount(), 0) << c.what;
        if (!c.fatal) {
            const uint8_t* v = SimRegValueData(SETTINGS_KEY, "Schedule");
            EXPECT_EQ(v != nullptr ? *v : 0, c.erase ? 0 : 0xA5) << c.what;
        }
    }
    WriteSetting("Schedule", BYTES, 4);
    WriteSetting("Schedule", BYTES, 0);
    EXPECT_FALSE(SimRegValueInfo(SETTINGS_KEY, "Schedule", nullptr, nullptr));
}

TEST_F(Settings, ReadNeverCreatesTheKey) {
    uint32_t v = 77;
    EXPECT_FALSE(ReadSetting("Schedule", &v, sizeof v));
    EXPECT_EQ(v, 77u);
    EXPECT_FALSE(SimRegKeyExists(SETTINGS_KEY));
}

// A shorter value fills the first bytes; a longer one reads as missing, untouched, yet its
// size is told (0 stored: no value at all).
TEST_F(Settings, ReadNeverWritesPastTheVariable) {
    const struct {
        uint32_t stored;
        bool read;
    } cases[] = {{0, false}, {1, true}, {4, true}, {8, true}, {9, false}, {152, false}};
    for (const auto& c : cases) {
        SimResetRegistry();
        WriteSetting("Offset", BYTES, c.stored);
        uint8_t area[24]; // guard bytes on both sides of an 8-byte variable
        memset(area, 0xEE, sizeof area);
        uint32_t size = 99;
        EXPECT_EQ(ReadSetting("Offset", area + 8, 8, &size), c.read) << c.stored;
        EXPECT_EQ(size, c.stored) << "size told";
        const uint32_t changed = c.read ? c.stored : 0;
        for (uint32_t i = 0; i < sizeof area; i++) {
            const bool inside = i >= 8 && i < 8 + changed;
            EXPECT_EQ(area[i], inside ? BYTES[i - 8] : 0xEE) << c.stored << " byte " << i;
        }
    }
}

// "SampleSpacing" and "WholeSecondEstimate" count only as REG_DWORDs; anything else reads as
// missing: the default spacing, the precise estimate.
TEST_F(Settings, DwordSettingsOfAnotherTypeMeanTheDefault) {
    const struct {
        const char* what;
        uint32_t type; // 0: not stored
        const char* bytes;
        uint32_t size;
        uint32_t spacing;
        bool wholeSecond;
    } cases[] = {
        {"missing", 0, "", 0, DEFAULT_SAMPLE_SPACING_MS, false},
        {"a DWORD of 100", REGISTRY_DWORD, "\x64\0\0\0", 4, 100, false},
        {"a DWORD of 1", REGISTRY_DWORD, "\x01\0\0\0", 4, 1, true},
        {"a DWORD of 0", REGISTRY_DWORD, "\0\0\0\0", 4, 0, false},
        {"a DWORD of 2", REGISTRY_DWORD, "\x02\0\0\0", 4, 2, false},
        {"a DWORD above the maximum", REGISTRY_DWORD, "\x01\0\x01\0", 4, MAX_SAMPLE_SPACING_MS,
         false},
        {"the text 100, four bytes", REGISTRY_SZ, "100", 4, DEFAULT_SAMPLE_SPACING_MS, false},
        {"four bytes of binary 1", REGISTRY_BINARY, "\x01\0\0\0", 4, DEFAULT_SAMPLE_SPACING_MS,
         false},
        {"a DWORD of two bytes", REGISTRY_DWORD, "\x01\0", 2, DEFAULT_SAMPLE_SPACING_MS, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimResetRegistry();
        WriteSetting("Version", BYTES, 4); // the key exists
        RegKey key = 0;
        ASSERT_EQ(PlatformRegOpenKey(SETTINGS_KEY, &key), PLATFORM_ERROR_SUCCESS);
        if (c.type != 0) {
            PlatformRegSetValue(key, "SampleSpacing", c.type, c.bytes, c.size);
            PlatformRegSetValue(key, "WholeSecondEstimate", c.type, c.bytes, c.size);
        }
        PlatformRegCloseKey(key);
        EXPECT_EQ(ReadSampleSpacing(), c.spacing);
        EXPECT_EQ(ReadWholeSecondEstimate(), c.wholeSecond);
    }
}

void ExpectText(const char* key, const char* name, const char* text) {
    uint32_t type = 0, size = 0;
    ASSERT_TRUE(SimRegValueInfo(key, name, &type, &size)) << name;
    EXPECT_EQ(type, REGISTRY_SZ) << name;
    EXPECT_EQ(size, strlen(text) + 1) << name;
    EXPECT_EQ(memcmp(SimRegValueData(key, name), text, size), 0) << name;
}

// The Run value, written where the logon task is refused.
TEST_F(Settings, AutoStartQuotesThePath) {
    SimLogonTaskFail(SIM_TASK_REGISTER, E_SERVICE_DISABLED);
    RegisterAutoStart(true);
    ExpectText(RUN_KEY, "Chronoplex", "\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" s");
    RegisterAutoStart(false);
    EXPECT_FALSE(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr));
    ExpectText(UNINSTALL_KEY, "DisplayName", "Chronoplex");
    ExpectText(UNINSTALL_KEY, "UninstallString",
               "\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" u");

    // Each step that fails is skipped silently.
    SimResetRegistry();
    ASSERT_EQ(PlatformRegDeleteKey(RUN_KEY), 0);
    SimSetModuleFileName("C:\\x.exe");
    RegisterAutoStart(true);
    ExpectText(UNINSTALL_KEY, "UninstallString", "\"C:\\x.exe\" u");
    SimResetRegistry();
    SimRegFail(SIM_REG_CREATE, PLATFORM_ERROR_ACCESS_DENIED);
    RegisterAutoStart(true);
    EXPECT_FALSE(SimRegKeyExists(UNINSTALL_KEY));
    SimResetRegistry();
    SimSetModuleFileName(nullptr); // no path: no command is worth writing
    RegisterAutoStart(true);
    EXPECT_FALSE(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr));
    EXPECT_FALSE(SimRegKeyExists(UNINSTALL_KEY));
    EXPECT_EQ(fakeLog.fatalCount, 0);
}

// One automatic start at a time: the logon task where it registers (a Run value left by an
// older version goes), else the Run value; neither once removed, whatever the scheduler says.
TEST_F(Settings, AutoStartByTaskOrRunValue) {
    enum Before { NOTHING, TASK, OLD_RUN_VALUE, REFUSED };
    const struct {
        const char* what;
        Before before;
        bool enable;
        long registerError, deleteError;
        bool task, run, refused;
    } cases[] = {
        {"task registered", NOTHING, true, 0, 0, true, false, false},
        {"task registered over an old Run value", OLD_RUN_VALUE, true, 0, 0, true, false, false},
        {"task registered after a refusal", REFUSED, true, 0, 0, true, false, false},
        {"task refused", NOTHING, true, E_SERVICE_DISABLED, 0, false, true, true},
        {"task refused over an old Run value", OLD_RUN_VALUE, true, E_ACCESS, 0, false, true, true},
        {"removed", TASK, false, 0, 0, false, false, false},
        {"removed after a refusal", REFUSED, false, 0, 0, false, false, false},
        {"removed, task deletion refused", TASK, false, 0, E_SERVICE_DISABLED, true, false, false},
    };
    for (const auto& c : cases) {
        ResetWorld();
        if (c.before == OLD_RUN_VALUE) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_ACCESS);
        }
        if (c.before != NOTHING) {
            RegisterAutoStart(true);
        }
        if (c.before == REFUSED) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_ACCESS);
            RegisterAutoStart(true);
        }
        SimLogonTaskFail(SIM_TASK_REGISTER, c.registerError);
        SimLogonTaskFail(SIM_TASK_DELETE, c.deleteError);
        RegisterAutoStart(c.enable);
        const char* xml = SimLogonTaskXml("Chronoplex");
        EXPECT_EQ(xml != nullptr, c.task) << c.what;
        if (xml != nullptr) {
            EXPECT_NE(strstr(xml, "<Command>C:\\Program Files\\Chronoplex\\chronoplex.exe</"),
                      nullptr)
                << c.what;
            EXPECT_NE(strstr(xml, "<UserId>CHRONO-PC\\Ana</"), nullptr) << c.what;
        }
        EXPECT_EQ(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr), c.run) << c.what;
        EXPECT_EQ(logonTaskRefused, c.refused ? 1 : 0) << c.what;
        ExpectText(UNINSTALL_KEY, "UninstallString",
                   "\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" u");
        ExpectText(UNINSTALL_KEY, "DisplayName", "Chronoplex");
        EXPECT_EQ(fakeLog.fatalCount, 0) << c.what;
    }
    // Without the user's name there is no task either.
    ResetWorld();
    SimSetUserName(nullptr);
    RegisterAutoStart(true);
    EXPECT_EQ(SimLogonTaskCount(), 0);
    EXPECT_TRUE(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr));
    EXPECT_EQ(logonTaskRefused, 1);
}

// The simulated registry must keep the platform's rules, or the tests above prove nothing.
TEST_F(Settings, SimulatedRegistryRules) {
    RegKey key = 0;
    EXPECT_EQ(PlatformRegOpenKey("SOFTWARE\\A\\B", &key), PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SimRegKeyExists("SOFTWARE\\A"));
    ASSERT_EQ(PlatformRegCreateKey("SOFTWARE\\A\\B", &key), 0);
    EXPECT_TRUE(SimRegKeyExists("software\\a"));
    EXPECT_EQ(PlatformRegSetValue(key, "V", REGISTRY_BINARY, BYTES, 8), 0);
    uint8_t small[4] = {9, 9, 9, 9};
    uint32_t size = sizeof small;
    EXPECT_EQ(PlatformRegQueryValue(key, "v", nullptr, small, &size), PLATFORM_ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(small[0], 9);
    EXPECT_EQ(PlatformRegDeleteValue(key, "W"), PLATFORM_ERROR_FILE_NOT_FOUND);
    PlatformRegCloseKey(key);
    EXPECT_EQ(PlatformRegDeleteKey("SOFTWARE\\A"), PLATFORM_ERROR_ACCESS_DENIED);
    EXPECT_EQ(PlatformRegDeleteKey("SOFTWARE\\A\\B"), 0);
    EXPECT_FALSE(SimRegValueInfo("SOFTWARE\\A\\B", "V", nullptr, nullptr));
}

} // namespace
