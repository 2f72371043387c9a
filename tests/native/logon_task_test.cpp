#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "servers/logon_task.h"

namespace {

// The fields that decide when, as whom and how the task starts the program, for a few paths
// and users; the markup's five special characters are escaped in both. A definition that does
// not fit leaves an empty text and nothing past the buffer.
TEST(LogonTask, Definition) {
    const std::string longPath = "C:\\" + std::string(1500, '&') + ".exe"; // 7500 escaped
    const struct {
        const char* path;
        const char* user;
        bool fits;
        const char* pathXml;
        const char* userXml;
    } cases[] = {
        {"C:\\Program Files\\Chronoplex\\chronoplex.exe", "CHRONO-PC\\Ana", true,
         "C:\\Program Files\\Chronoplex\\chronoplex.exe", "CHRONO-PC\\Ana"},
        {"D:\\Tom & Jerry's <tools>\\\"x\".exe", "R&D\\O'Neil <\"admin\">", true,
         "D:\\Tom &amp; Jerry&apos;s &lt;tools&gt;\\&quot;x&quot;.exe",
         "R&amp;D\\O&apos;Neil &lt;&quot;admin&quot;&gt;"},
        {"chronoplex.exe", "ana", true, "chronoplex.exe", "ana"},
        {longPath.c_str(), "CHRONO-PC\\Ana", false, "", ""},
    };
    for (const auto& c : cases) {
        char area[LOGON_TASK_XML_SIZE + 8];
        memset(area, 0x5A, sizeof area);
        EXPECT_EQ(BuildLogonTaskXml(area, LOGON_TASK_XML_SIZE, c.path, c.user), c.fits) << c.path;
        EXPECT_EQ(memcmp(area + LOGON_TASK_XML_SIZE, "ZZZZZZZZ", 8), 0) << c.path;
        const std::string xml = area;
        if (!c.fits) {
            EXPECT_EQ(xml, "") << c.path;
            continue;
        }
        const std::string user = c.userXml, path = c.pathXml;
        for (const std::string& field :
             {std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Task version="),
              "<LogonTrigger>\n      <Enabled>true</Enabled>\n      <UserId>" + user + "</",
              "<Principal id=\"Author\">\n      <UserId>" + user +
                  "</UserId>\n"
                  "      <LogonType>InteractiveToken</LogonType>\n"
                  "      <RunLevel>HighestAvailable</RunLevel>",
              std::string("<MultipleInstancesPolicy>IgnoreNew</"),
              std::string("<DisallowStartIfOnBatteries>false</"),
              std::string("<StopIfGoingOnBatteries>false</"),
              std::string("<ExecutionTimeLimit>PT0S</"),
              "<Actions Context=\"Author\">\n    <Exec>\n      <Command>" + path +
                  "</Command>\n      <Arguments>s</Arguments>\n    </Exec>\n  </Actions>\n"
                  "</Task>\n"}) {
            EXPECT_NE(xml.find(field), std::string::npos) << field;
        }
        if (path != c.path) {
            EXPECT_EQ(xml.find(c.path), std::string::npos) << "unescaped " << c.path;
            EXPECT_EQ(xml.find(c.user), std::string::npos) << "unescaped " << c.user;
        }
    }
}

} // namespace
