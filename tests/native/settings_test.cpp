#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "query/schedule.h"
#include "servers/logon_task.h"
#include "servers/running_copy.h"
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
// older version goes), else the Run value; neither once removed. What the scheduler or the
// registry would not let go is told.
TEST_F(Settings, AutoStartByTaskOrRunValue) {
    enum Before { NOTHING, TASK, OLD_RUN_VALUE, REFUSED, TASK_AND_RUN_VALUE };
    const struct {
        const char* what;
        Before before;
        bool enable;
        long registerError, deleteError, runDeleteError;
        bool task, run, refused;
        uint32_t left;
    } cases[] = {
        {"task registered", NOTHING, true, 0, 0, 0, true, false, false, 0},
        {"task registered over an old Run value", OLD_RUN_VALUE, true, 0, 0, 0, true, false, false,
         0},
        {"task registered after a refusal", REFUSED, true, 0, 0, 0, true, false, false, 0},
        {"task refused", NOTHING, true, E_SERVICE_DISABLED, 0, 0, false, true, true, 0},
        {"task refused over an old Run value", OLD_RUN_VALUE, true, E_ACCESS, 0, 0, false, true,
         true, 0},
        {"removed", TASK, false, 0, 0, 0, false, false, false, 0},
        {"removed after a refusal", REFUSED, false, 0, 0, 0, false, false, false, 0},
        {"removed, task deletion refused", TASK, false, 0, E_SERVICE_DISABLED, 0, true, false,
         false, AUTO_START_LEFT_TASK},
        {"removed, no Task Scheduler 2.0", TASK, false, 0, LOGON_TASK_NO_SCHEDULER, 0, true, false,
         false, 0},
        {"removed, Run value kept", REFUSED, false, 0, 0, PLATFORM_ERROR_ACCESS_DENIED, false, true,
         false, AUTO_START_LEFT_RUN_VALUE},
        {"removed, both kept", TASK_AND_RUN_VALUE, false, 0, E_ACCESS, PLATFORM_ERROR_ACCESS_DENIED,
         true, true, false, AUTO_START_LEFT_TASK | AUTO_START_LEFT_RUN_VALUE},
    };
    for (const auto& c : cases) {
        ResetWorld();
        if (c.before == OLD_RUN_VALUE) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_ACCESS);
        }
        // A refusal leaves the Run value in the task's place.
        if (c.before == REFUSED) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_ACCESS);
        }
        if (c.before != NOTHING) {
            RegisterAutoStart(true);
        }
        if (c.before == TASK_AND_RUN_VALUE) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_ACCESS);
            SimLogonTaskFail(SIM_TASK_READ, E_ACCESS);
            SimLogonTaskFail(SIM_TASK_DELETE, E_ACCESS);
            RegisterAutoStart(true);
            SimLogonTaskFail(SIM_TASK_READ, 0);
        }
        SimLogonTaskFail(SIM_TASK_REGISTER, c.registerError);
        SimLogonTaskFail(SIM_TASK_DELETE, c.deleteError);
        SimRegFail(SIM_REG_DELETE, c.runDeleteError);
        EXPECT_EQ(RegisterAutoStart(c.enable), c.left) << c.what;
        SimRegFail(SIM_REG_DELETE, 0);
        const char* xml = SimLogonTaskXml("Chronoplex");
        EXPECT_EQ(xml != nullptr, c.task) << c.what;
        if (xml != nullptr) {
            EXPECT_NE(strstr(xml, "<Command>C:\\Program Files\\Chronoplex\\chronoplex.exe</"),
                      nullptr)
                << c.what;
            EXPECT_NE(strstr(xml, "<GroupId>S-1-5-32-544</"), nullptr) << c.what;
            EXPECT_TRUE(SimLogonTaskGroupLogon("Chronoplex")) << c.what;
        }
        EXPECT_EQ(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr), c.run) << c.what;
        EXPECT_EQ(logonTaskRefused, c.refused ? 1 : 0) << c.what;
        ExpectText(UNINSTALL_KEY, "UninstallString",
                   "\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" u");
        ExpectText(UNINSTALL_KEY, "DisplayName", "Chronoplex");
        EXPECT_EQ(fakeLog.fatalCount, 0) << c.what;
    }
    // A Run key that is there but cannot be opened may still hold the value.
    ResetWorld();
    SimRegFail(SIM_REG_OPEN, PLATFORM_ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegisterAutoStart(false), AUTO_START_LEFT_RUN_VALUE);
}

// The automatic start on every path that touches it: a schedule chosen with the slider, given
// up with it, or found stored at a start (checked once the window is up, from a posted
// message, and never before: no Task Scheduler call until then); from a place that only
// administrators can change, or one that a standard user can; with the scheduler taking the
// task, refusing it, or holding a stale one (an older version's task of one user, for this
// very file) or the current one. From an unsafe place nothing is registered, and whatever
// starts this file is removed; another copy's task stays where its place is safe and goes
// where that copy is gone. While the task is registered, the place judged stays held.
TEST_F(Settings, AutoStartDecision) {
    const char* const HERE = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
    const char* const OTHER = "C:\\Program Files\\Chronoplex 2\\chronoplex.exe";
    const char OLD_TASK[] = "<Task><Principals><Principal id=\"Author\"><UserId>PC\\Ana</UserId>"
                            "<RunLevel>HighestAvailable</RunLevel></Principal></Principals>"
                            "<Actions><Exec><Command>C:\\Program Files\\Chronoplex\\chronoplex.exe"
                            "</Command></Exec></Actions></Task>";
    enum Path { CHOSEN, GIVEN_UP, AT_START };
    enum Task { NONE, CURRENT, STALE, OTHER_COPY, GONE_COPY };
    const struct {
        bool safe;
        Path path;
        Task before;
        bool refuses; // the scheduler refuses registrations and deletions
        Task after;
        bool run, refusedNote, unsafeNote;
    } cases[] = {
        {true, CHOSEN, NONE, false, CURRENT, false, false, false},
        {true, CHOSEN, NONE, true, NONE, true, true, false},
        {true, CHOSEN, STALE, false, CURRENT, false, false, false},
        {true, GIVEN_UP, CURRENT, false, NONE, false, false, false},
        {true, GIVEN_UP, CURRENT, true, CURRENT, false, false, false},
        {true, GIVEN_UP, STALE, false, NONE, false, false, false},
        {true, AT_START, NONE, false, CURRENT, false, false, false},
        {true, AT_START, NONE, true, NONE, true, true, false},
        {true, AT_START, STALE, false, CURRENT, false, false, false},
        {true, AT_START, OTHER_COPY, false, CURRENT, false, false, false},
        {true, AT_START, CURRENT, false, CURRENT, false, false, false},
        {false, CHOSEN, NONE, false, NONE, false, false, true},
        {false, CHOSEN, NONE, true, NONE, false, false, true},
        {false, CHOSEN, STALE, false, NONE, false, false, true},
        {false, CHOSEN, OTHER_COPY, false, OTHER_COPY, false, false, true},
        {false, GIVEN_UP, CURRENT, false, NONE, false, false, false},
        {false, GIVEN_UP, CURRENT, true, CURRENT, false, false, false},
        {false, GIVEN_UP, STALE, false, NONE, false, false, false},
        {false, AT_START, NONE, false, NONE, false, false, true},
        {false, AT_START, NONE, true, NONE, false, false, true},
        {false, AT_START, STALE, false, NONE, false, false, true},
        {false, AT_START, CURRENT, false, NONE, false, false, true},
        {false, AT_START, OTHER_COPY, false, OTHER_COPY, false, false, true},
        {false, AT_START, GONE_COPY, false, NONE, false, false, true},
        {false, CHOSEN, GONE_COPY, false, NONE, false, false, true},
        {true, AT_START, GONE_COPY, false, CURRENT, false, false, false},
    };
    const char* const GONE = "C:\\Chronoplex\\chronoplex.exe";
    char current[LOGON_TASK_XML_SIZE], other[LOGON_TASK_XML_SIZE], gone[LOGON_TASK_XML_SIZE];
    ASSERT_TRUE(BuildLogonTaskXml(current, sizeof current, HERE));
    ASSERT_TRUE(BuildLogonTaskXml(other, sizeof other, OTHER));
    ASSERT_TRUE(BuildLogonTaskXml(gone, sizeof gone, GONE));
    const char* const XML[] = {nullptr, current, OLD_TASK, other, gone};
    static int heldWhileRegistering;
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << row++);
        ResetWorld();
        SimSetProgramPlace(c.safe);
        SimSetPlace(OTHER, SIM_PLACE_SAFE);
        heldWhileRegistering = 0;
        SimSetWaitHook(SIM_WAIT_TASK, [] { heldWhileRegistering += SimPlacesHeld() > 0; });
        if (c.before != NONE) {
            ASSERT_EQ(PlatformRegisterLogonTask("Chronoplex", XML[c.before]), 0);
        }
        // A Run value for this file, left by a start where the task was refused.
        RegKey key = 0;
        ASSERT_EQ(PlatformRegOpenKey(RUN_KEY, &key), 0);
        const char runValue[] = "\"C:\\Program Files\\Chronoplex\\chronoplex.exe\" s";
        PlatformRegSetValue(key, "Chronoplex", REGISTRY_SZ, runValue, sizeof runValue);
        PlatformRegCloseKey(key);
        const int callsBefore = SimLogonTaskCallCount();
        if (c.refuses) {
            SimLogonTaskFail(SIM_TASK_REGISTER, E_SERVICE_DISABLED);
            SimLogonTaskFail(SIM_TASK_DELETE, E_SERVICE_DISABLED);
        }
        scheduleIndex = c.path == CHOSEN ? 0 : 4;
        InitSchedule();
        EXPECT_EQ(SimLogonTaskCallCount(), callsBefore) << "the start called the scheduler";
        SimMessage m = {};
        const bool posted = SimNextMessage(0, &m) && m.message == WM_CHECK_AUTO_START;
        EXPECT_TRUE(posted) << "checked at every start";
        if (c.path == AT_START && posted) {
            OnCheckAutoStart();
        } else {
            OnScheduleSlider(c.path == CHOSEN ? 4 : 0);
        }
        const char* xml = SimLogonTaskXml("Chronoplex");
        const char* expected = XML[c.after];
        EXPECT_EQ(xml != nullptr, expected != nullptr);
        if (xml != nullptr && expected != nullptr) {
            EXPECT_STREQ(xml, expected);
        }
        if (c.path == AT_START && c.before == CURRENT && c.safe) {
            EXPECT_EQ(SimLogonTaskCallCount(), callsBefore + 1) << "only the read";
        }
        EXPECT_EQ(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr), c.run);
        EXPECT_EQ(logonTaskRefused, c.refusedNote ? 1 : 0);
        EXPECT_EQ(programPlaceUnsafe, c.unsafeNote ? 1 : 0);
        EXPECT_EQ(fakeLog.fatalCount, 0);
        EXPECT_EQ(SimPlacesHeld(), 0) << "a place left held";
        if (c.safe && c.path != GIVEN_UP) {
            EXPECT_GT(heldWhileRegistering, 0) << "the scheduler was called with nothing held";
        }
    }
}

// Each entry that starts a program (the task, the Run value, the uninstall entry) at a start
// without a schedule, for each file it may name: this one, another in a safe place, another
// that is gone, another in an unsafe place; from a safe place and from an unsafe one. An entry
// that names a file a standard user can change goes; the uninstall entry names only a file in a
// safe place, by its final path, and never replaces another copy's in a safe place. The
// uninstall removes every entry but another copy's in a safe place, and writes none.
TEST_F(Settings, EntriesFollowThePlaceOfTheirFile) {
    const char* const HERE = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
    const char* const HERE_FINAL = "D:\\Apps\\Chronoplex\\chronoplex.exe"; // through a junction
    const char* const FILES[] = {HERE, "C:\\Program Files\\Other\\chronoplex.exe",
                                 "C:\\Chronoplex\\chronoplex.exe",
                                 "C:\\Users\\ana\\chronoplex.exe"};
    enum File { THIS_FILE, OTHER_SAFE, OTHER_GONE, OTHER_UNSAFE };
    enum Entry { TASK, RUN_VALUE, UNINSTALL };
    enum After { KEPT, GONE, OURS };
    const struct {
        bool safe;
        File file;
        After task, run, uninstall;
    } cases[] = {
        {true, THIS_FILE, KEPT, KEPT, OURS},   {true, OTHER_SAFE, KEPT, KEPT, KEPT},
        {true, OTHER_GONE, GONE, GONE, OURS},  {true, OTHER_UNSAFE, GONE, GONE, OURS},
        {false, THIS_FILE, GONE, GONE, GONE},  {false, OTHER_SAFE, KEPT, KEPT, KEPT},
        {false, OTHER_GONE, GONE, GONE, GONE}, {false, OTHER_UNSAFE, GONE, GONE, GONE},
    };
    for (const auto& c : cases) {
        for (int n = 0; n < 6; n++) {
            const Entry entry = static_cast<Entry>(n % 3);
            const bool uninstalling = n >= 3;
            SCOPED_TRACE(testing::Message()
                         << "safe " << c.safe << ", file " << c.file << ", entry " << entry
                         << ", uninstall " << uninstalling);
            ResetWorld();
            SimSetModuleFileName(HERE);
            SimSetProgramPlace(c.safe, HERE_FINAL);
            SimSetPlace(FILES[OTHER_SAFE], SIM_PLACE_SAFE);
            SimSetPlace(FILES[OTHER_UNSAFE], SIM_PLACE_UNSAFE);
            const char* const file = c.file == THIS_FILE ? HERE_FINAL : FILES[c.file];
            char command[300];
            snprintf(command, sizeof command, "\"%s\" %c", file, entry == UNINSTALL ? 'u' : 's');
            char xml[LOGON_TASK_XML_SIZE];
            ASSERT_TRUE(BuildLogonTaskXml(xml, sizeof xml, file));
            RegKey key = 0;
            if (entry == TASK) {
                ASSERT_EQ(PlatformRegisterLogonTask("Chronoplex", xml), 0);
            } else {
                ASSERT_EQ(PlatformRegCreateKey(entry == RUN_VALUE ? RUN_KEY : UNINSTALL_KEY, &key),
                          0);
                PlatformRegSetValue(key, entry == RUN_VALUE ? "Chronoplex" : "UninstallString",
                                    REGISTRY_SZ, command,
                                    static_cast<uint32_t>(strlen(command)) + 1);
                PlatformRegCloseKey(key);
            }
            if (uninstalling) {
                EXPECT_EQ(RemoveEntriesOfThisFile(), 0u);
            } else {
                InitSchedule();
                SimMessage m = {};
                ASSERT_TRUE(SimNextMessage(0, &m) && m.message == WM_CHECK_AUTO_START);
                OnCheckAutoStart();
            }
            EXPECT_EQ(SimPlacesHeld(), 0);
            const char* task = SimLogonTaskXml("Chronoplex");
            const uint8_t* run = SimRegValueData(RUN_KEY, "Chronoplex");
            const uint8_t* uninstall = SimRegValueData(UNINSTALL_KEY, "UninstallString");
            const After after = uninstalling         ? (c.file == OTHER_SAFE ? KEPT : GONE)
                                : entry == TASK      ? c.task
                                : entry == RUN_VALUE ? c.run
                                                     : c.uninstall;
            // Nothing is written beside the one entry, but the uninstall entry of a safe place.
            EXPECT_EQ(task != nullptr, entry == TASK && after == KEPT);
            EXPECT_EQ(run != nullptr, entry == RUN_VALUE && after == KEPT);
            if (task != nullptr) {
                EXPECT_STREQ(task, xml);
            }
            if (run != nullptr) {
                EXPECT_STREQ(reinterpret_cast<const char*>(run), command);
            }
            const bool ours = c.safe && !uninstalling && (entry != UNINSTALL || after == OURS);
            const bool kept = entry == UNINSTALL && after == KEPT;
            EXPECT_EQ(uninstall != nullptr, ours || kept);
            if (ours) {
                ExpectText(UNINSTALL_KEY, "UninstallString",
                           "\"D:\\Apps\\Chronoplex\\chronoplex.exe\" u");
            } else if (kept) {
                EXPECT_STREQ(reinterpret_cast<const char*>(uninstall), command);
            }
        }
    }
}

// Someone else's task under our name is replaced, never updated: not an Exec action, another
// argument, permissions that let others change it. One that cannot be deleted leaves nothing
// else registered, no Run value in its place, and the window a note to show.
TEST_F(Settings, OnlyOurTaskCounts) {
    const char* const HERE = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
    char ours[LOGON_TASK_XML_SIZE];
    ASSERT_TRUE(BuildLogonTaskXml(ours, sizeof ours, HERE));
    const std::string exec = "<Exec>\n      <Command>" + std::string(HERE) +
                             "</Command>\n"
                             "      <Arguments>s</Arguments>\n    </Exec>";
    auto with = [&](const std::string& actions) {
        std::string xml = ours;
        return xml.replace(xml.find(exec), exec.size(), actions);
    };
    const std::string notExec = with("<ComHandler><ClassId>{0}</ClassId></ComHandler>" + exec);
    const std::string otherArgument =
        with("<Exec><Command>" + std::string(HERE) + "</Command><Arguments>u</Arguments></Exec>");
    const std::string twoActions = with(exec + "<Exec><Command>C:\\x.exe</Command></Exec>");
    const struct {
        const char* what;
        std::string xml;
        bool foreign, undeletable;
        bool replaced, taken;
    } cases[] = {
        {"ours", ours, false, false, false, false},
        {"not an Exec action first", notExec, false, false, true, false},
        {"another argument", otherArgument, false, false, true, false},
        {"a second action", twoActions, false, false, true, false},
        {"ours, with permissions for others", ours, true, false, true, false},
        {"not ours, and undeletable", notExec, true, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorld();
        SimPutLogonTask("Chronoplex", c.xml.c_str(), c.foreign, c.undeletable);
        const int callsBefore = SimLogonTaskCallCount();
        EXPECT_EQ(RegisterAutoStart(true), 0u);
        EXPECT_STREQ(SimLogonTaskXml("Chronoplex"), c.replaced ? ours : c.xml.c_str());
        EXPECT_EQ(logonTaskTaken, c.taken ? 1 : 0);
        EXPECT_EQ(logonTaskRefused, 0);
        EXPECT_FALSE(SimRegValueInfo(RUN_KEY, "Chronoplex", nullptr, nullptr));
        if (!c.replaced && !c.taken) {
            EXPECT_EQ(SimLogonTaskCallCount(), callsBefore + 1) << "only the read";
        }
    }
    // Taken again between the deletion and the creation.
    ResetWorld();
    SimPutLogonTask("Chronoplex", notExec.c_str(), true, false);
    SimSetWaitHook(SIM_WAIT_TASK, [] {
        if (SimLogonTaskXml("Chronoplex") == nullptr) {
            SimPutLogonTask("Chronoplex", "<Task/>", true, false);
        }
    });
    RegisterAutoStart(true);
    EXPECT_EQ(logonTaskTaken, 1);
    EXPECT_STREQ(SimLogonTaskXml("Chronoplex"), "<Task/>");
}

// Any unelevated program may make a dialog with the program's title and list: it neither takes
// the logon start's hand-over nor the uninstall's exit, which then go on as if no copy ran.
// A copy's own box carries the title but no list. Without integrity levels, as before.
TEST_F(Settings, OnlyAnElevatedProcessIsARunningCopy) {
    const char* const TITLE = "Chronoplex v2.1";
    constexpr int32_t LIST = 1002;
    const struct {
        const char* what;
        SimElevation first, second; // SIM_CANNOT_OPEN as second: none
        bool secondIsBox, noLevels;
        int found; // 0 none, else which
    } cases[] = {
        {"a fake below high integrity", SIM_BELOW_HIGH, SIM_CANNOT_OPEN, false, false, 0},
        {"one that cannot be opened", SIM_CANNOT_OPEN, SIM_CANNOT_OPEN, false, false, 0},
        {"the running copy", SIM_HIGH, SIM_CANNOT_OPEN, false, false, 1},
        {"a fake before the running copy", SIM_BELOW_HIGH, SIM_HIGH, false, false, 2},
        {"the copy's box", SIM_BELOW_HIGH, SIM_HIGH, true, false, 0},
        {"a fake where nothing tells", SIM_BELOW_HIGH, SIM_CANNOT_OPEN, false, true, 1},
    };
    for (const auto& c : cases) {
        ResetWorld();
        SimNoIntegrityLevels(c.noLevels);
        WindowHandle windows[] = {SimAddDialog(TITLE, LIST, c.first), nullptr};
        if (c.second != SIM_CANNOT_OPEN) {
            windows[1] = SimAddDialog(TITLE, c.secondIsBox ? 0 : LIST, c.second);
        }
        EXPECT_EQ(FindRunningCopy(TITLE, LIST), c.found == 0 ? nullptr : windows[c.found - 1])
            << c.what;
    }
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
