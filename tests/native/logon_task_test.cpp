#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "servers/logon_task.h"

namespace {

// The fields that decide when, for whom and how the task starts the program, for a few paths;
// the markup's five special characters are escaped. The trigger and the principal name no
// user: the task is the administrators' group's. A definition that does not fit leaves an
// empty text and nothing past the buffer.
TEST(LogonTask, Definition) {
    const std::string longPath = "C:\\" + std::string(1500, '&') + ".exe"; // 7500 escaped
    const std::string longest = "C:\\" + std::string(256, '\'');           // 260, all escaped
    const struct {
        const char* path;
        bool fits;
        const char* pathXml;
    } cases[] = {
        {"C:\\Program Files\\Chronoplex\\chronoplex.exe", true,
         "C:\\Program Files\\Chronoplex\\chronoplex.exe"},
        {"D:\\Tom & Jerry's <tools>\\\"x\".exe", true,
         "D:\\Tom &amp; Jerry&apos;s &lt;tools&gt;\\&quot;x&quot;.exe"},
        {"chronoplex.exe", true, "chronoplex.exe"},
        {longest.c_str(), true, nullptr},
        {longPath.c_str(), false, ""},
    };
    for (const auto& c : cases) {
        char area[LOGON_TASK_XML_SIZE + 8];
        memset(area, 0x5A, sizeof area);
        EXPECT_EQ(BuildLogonTaskXml(area, LOGON_TASK_XML_SIZE, c.path), c.fits) << c.path;
        EXPECT_EQ(memcmp(area + LOGON_TASK_XML_SIZE, "ZZZZZZZZ", 8), 0) << c.path;
        const std::string xml = area;
        if (!c.fits) {
            EXPECT_EQ(xml, "") << c.path;
            continue;
        }
        if (c.pathXml == nullptr) {
            continue;
        }
        const std::string path = c.pathXml;
        for (const std::string& field :
             {std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Task version="),
              std::string("<LogonTrigger>\n      <Enabled>true</Enabled>\n    </LogonTrigger>"),
              std::string("<Principal id=\"Author\">\n      <GroupId>S-1-5-32-544</GroupId>\n"
                          "      <RunLevel>HighestAvailable</RunLevel>\n    </Principal>"),
              std::string("<MultipleInstancesPolicy>IgnoreNew</"),
              std::string("<DisallowStartIfOnBatteries>false</"),
              std::string("<StopIfGoingOnBatteries>false</"),
              std::string("<ExecutionTimeLimit>PT0S</"),
              "<Actions Context=\"Author\">\n    <Exec>\n      <Command>" + path +
                  "</Command>\n      <Arguments>s</Arguments>\n    </Exec>\n  </Actions>\n"
                  "</Task>\n"}) {
            EXPECT_NE(xml.find(field), std::string::npos) << field;
        }
        EXPECT_EQ(xml.find("UserId"), std::string::npos) << c.path;
        EXPECT_EQ(xml.find("LogonType"), std::string::npos) << c.path;
        if (path != c.path) {
            EXPECT_EQ(xml.find(c.path), std::string::npos) << "unescaped " << c.path;
        }
    }
}

// Whether a task read back is the one this program would register now.
TEST(LogonTask, CurrentOrStale) {
    const char* const HERE = "C:\\Program Files\\Chronoplex\\chronoplex.exe";
    const LogonTaskFacts current = {"C:\\Program Files\\Chronoplex\\chronoplex.exe",
                                    "s",
                                    1,
                                    true,
                                    "S-1-5-32-544",
                                    false,
                                    true,
                                    true,
                                    true,
                                    false};
    const struct {
        const char* what;
        void (*change)(LogonTaskFacts&);
        bool current;
    } cases[] = {
        {"as registered", [](LogonTaskFacts&) {}, true},
        {"the path in another case",
         [](LogonTaskFacts& f) {
             strcpy(f.command, "c:\\PROGRAM FILES\\chronoplex\\CHRONOPLEX.EXE");
         },
         true},
        {"known by its name only", [](LogonTaskFacts& f) { memset(&f, 0, sizeof f); }, true},
        {"another copy", [](LogonTaskFacts& f) { strcpy(f.command, "C:\\Users\\ana\\x.exe"); },
         false},
        {"a longer path", [](LogonTaskFacts& f) { strcat(f.command, "x"); }, false},
        {"an older version's task of one user",
         [](LogonTaskFacts& f) {
             f.forUser = true;
             f.groupSid[0] = 0;
             f.groupLogon = false;
         },
         false},
        {"the group Users", [](LogonTaskFacts& f) { strcpy(f.groupSid, "S-1-5-32-545"); }, false},
        {"an interactive logon", [](LogonTaskFacts& f) { f.groupLogon = false; }, false},
        {"least privilege", [](LogonTaskFacts& f) { f.highest = false; }, false},
        // Beside the tasks of Settings.OnlyOurTaskCounts: what only the facts can show.
        {"no argument", [](LogonTaskFacts& f) { f.arguments[0] = 0; }, false},
        {"permissions that could not be read", [](LogonTaskFacts& f) { f.permissionsRead = false; },
         false},
        {"only its permissions read",
         [](LogonTaskFacts& f) {
             memset(&f, 0, sizeof f);
             f.permissionsRead = true;
         },
         false},
    };
    for (const auto& c : cases) {
        LogonTaskFacts facts = current;
        c.change(facts);
        EXPECT_EQ(LogonTaskCurrent(facts, HERE), c.current) << c.what;
    }
    EXPECT_FALSE(SamePath("", ""));
    EXPECT_FALSE(SamePath(HERE, ""));
}

} // namespace
