#include "servers/logon_task.h"

#include <cstring>

#include "platform/logon_task.h"
#include "servers/waits.h"

namespace {

// The definition around its one variable part, the program's path. No encoding but UTF-16 may
// be declared: the platform hands the text over as UTF-16. The logon trigger names no user and
// the principal names a group, so the task starts for any administrator who logs on and for
// nobody else: a standard user could not run the program anyway. In the Command element the
// path stands as it is, without the quotes a command line needs.
const char XML_BEFORE_COMMAND[] =
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
    "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
    "  <RegistrationInfo>\n"
    "    <Description>Starts Chronoplex hidden in the notification area at logon, to keep the "
    "clock right on its schedule.</Description>\n"
    "  </RegistrationInfo>\n"
    "  <Triggers>\n"
    "    <LogonTrigger>\n"
    "      <Enabled>true</Enabled>\n"
    "    </LogonTrigger>\n"
    "  </Triggers>\n"
    "  <Principals>\n"
    "    <Principal id=\"Author\">\n"
    "      <GroupId>" ADMINISTRATORS_SID "</GroupId>\n"
    "      <RunLevel>HighestAvailable</RunLevel>\n"
    "    </Principal>\n"
    "  </Principals>\n"
    "  <Settings>\n"
    // One copy sets the machine's clock: an administrator who logs on while another's copy
    // runs gets none.
    "    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
    "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
    "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
    "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
    // A task's own default is below normal; the program started from the Run value runs at
    // normal priority, and so does this.
    "    <Priority>5</Priority>\n"
    "    <Enabled>true</Enabled>\n"
    "  </Settings>\n"
    "  <Actions Context=\"Author\">\n"
    "    <Exec>\n"
    "      <Command>";
const char XML_AFTER_COMMAND[] = "</Command>\n"
                                 "      <Arguments>s</Arguments>\n"
                                 "    </Exec>\n"
                                 "  </Actions>\n"
                                 "</Task>\n";

// Appends to a fixed buffer that always holds a terminated text; once something did not fit,
// nothing more is appended.
struct XmlWriter {
    char* out;
    uint32_t size;
    uint32_t used;
    bool fits;

    void Raw(const char* text, size_t length) {
        if (!fits || length >= size - used) {
            fits = false;
            return;
        }
        memcpy(out + used, text, length);
        used += static_cast<uint32_t>(length);
        out[used] = 0;
    }

    void Raw(const char* text) { Raw(text, strlen(text)); }

    void Escaped(const char* text) {
        for (; *text != 0; text++) {
            switch (*text) {
            case '&':
                Raw("&amp;");
                break;
            case '<':
                Raw("&lt;");
                break;
            case '>':
                Raw("&gt;");
                break;
            case '"':
                Raw("&quot;");
                break;
            case '\'':
                Raw("&apos;");
                break;
            default:
                Raw(text, 1);
            }
        }
    }
};

} // namespace

bool BuildLogonTaskXml(char* out, uint32_t size, const char* programPath) {
    if (size == 0) {
        return false;
    }
    out[0] = 0;
    XmlWriter xml = {out, size, 0, true};
    xml.Raw(XML_BEFORE_COMMAND);
    xml.Escaped(programPath);
    xml.Raw(XML_AFTER_COMMAND);
    if (!xml.fits) {
        out[0] = 0;
    }
    return xml.fits;
}

// Ours as it should be stays as it is. Anything else under the name goes first; a deletion
// refused while the task is still there is someone's task that we may not remove, one refused
// where the scheduler cannot even say is the scheduler's refusal.
LogonTaskRegistration RegisterLogonTask(const char* programPath) {
    char xml[LOGON_TASK_XML_SIZE];
    if (!BuildLogonTaskXml(xml, sizeof xml, programPath)) {
        return LOGON_TASK_REFUSED;
    }
    LogonTaskFacts facts;
    const LogonTaskPresence before = WaitForTaskRead(LOGON_TASK_NAME, &facts);
    if (before == LOGON_TASK_PRESENT && LogonTaskCurrent(facts, programPath)) {
        return LOGON_TASK_REGISTERED;
    }
    if (before != LOGON_TASK_ABSENT && !DeleteLogonTask()) {
        return WaitForTaskRead(LOGON_TASK_NAME, &facts) == LOGON_TASK_PRESENT ? LOGON_TASK_TAKEN
                                                                              : LOGON_TASK_REFUSED;
    }
    const long result = WaitForTaskRegister(LOGON_TASK_NAME, xml);
    return result == 0                   ? LOGON_TASK_REGISTERED
           : result == LOGON_TASK_EXISTS ? LOGON_TASK_TAKEN
                                         : LOGON_TASK_REFUSED;
}

bool DeleteLogonTask() {
    const long result = WaitForTaskDelete(LOGON_TASK_NAME);
    return result == 0 || result == LOGON_TASK_NO_SCHEDULER;
}

static char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SamePath(const char* a, const char* b) {
    if (a[0] == 0 || b[0] == 0) {
        return false;
    }
    for (; Lower(*a) == Lower(*b); a++, b++) {
        if (*a == 0) {
            return true;
        }
    }
    return false;
}

// A task of one user, left by an older version, is stale even where it starts this program:
// it belongs to whoever started the program last, and the other administrators get nothing.
bool LogonTaskCurrent(const LogonTaskFacts& facts, const char* programPath) {
    const bool nothingRead = facts.command[0] == 0 && facts.arguments[0] == 0 &&
                             facts.actions == 0 && !facts.firstIsExec && facts.groupSid[0] == 0 &&
                             !facts.forUser && !facts.permissionsRead;
    if (nothingRead) {
        return true;
    }
    return facts.actions == 1 && facts.firstIsExec && SamePath(facts.command, programPath) &&
           strcmp(facts.arguments, "s") == 0 && !facts.forUser &&
           strcmp(facts.groupSid, ADMINISTRATORS_SID) == 0 && facts.groupLogon && facts.highest &&
           facts.permissionsRead && !facts.othersMayChange;
}
