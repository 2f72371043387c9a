// The real program as it is used: started with its command-line letters, told things by a
// second copy, its boxes answered and its window clicked as a user would, and judged only by
// what it leaves in the registry and the Task Scheduler and by how it ends. Each scenario is a
// list of steps from one table, run by one runner, each in a prefix made anew, against the
// loopback peers that the suite's fixture starts:
//   127.0.8.2 openbsd-inetd, 127.0.8.3 xinetd (four bytes), 127.0.8.4 inetutils-inetd (eight)
//   127.0.8.9 nothing listens (refused)   127.0.8.10 silent       127.0.8.11 accept and close
//   127.0.8.12 split answer               127.0.8.13 three bytes  127.0.8.14 four zero bytes
//   127.0.8.15 extra bytes after four     127.0.8.16 an hour ahead 127.0.8.17 5 s behind
//   127.0.8.18 1.234 s ahead
//   127.0.8.20, 127.0.8.21 honest, and log the moment of each connection to the fixture's
//   server.log
// Scenarios ask their servers back to back ("SampleSpacing" 0) unless they say otherwise.
// A scenario through the delay line runs only inside the client's namespace of
// tests/peers/delay_line (the test e2e_through_the_line starts the suite there, with honest
// servers on 198.19.0.2 ... 198.19.0.5 behind the line); elsewhere it is skipped.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <taskschd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The stored record is the program's file format; the suite reads it as the program writes it.
#include "servers/server_record.h"

namespace {

constexpr const char* SETTINGS = "SOFTWARE\\Chronoplex";
constexpr const char* RUN = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* UNINSTALL =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Chronoplex";
constexpr const char* TITLE = "Chronoplex v2.1";
constexpr int SERVER_LIST_ID = 1002;
constexpr int SCHEDULE_SLIDER_ID = 1004;
constexpr int STATUS_UNSET = -1;

enum Op {
    End,
    Servers,        // text: blank-separated names for slots 0, 1, ...
    SetDword,       // text: value name, n: the value
    SetByte,        // text: value name, n: the value, m: stored that many times (0: once)
    SetText,        // text: value name, env: the text, stored as REG_SZ with its zero
    Start,          // text: the argument text; env: faults for chronoplex_faults.exe ("NAME=VALUE",
                    // several separated by blanks), or null for chronoplex.exe
    AwaitWindow,    // n: 1 when it must be visible, 0 hidden
    Box,            // text: caption; env: start of its text; n: the button that answers it,
                    // or 0 to leave it open
    Command,        // n: a command sent as the tray menu or a second copy would
    Click,          // n: the id of a button of the window
    PostClick,      // n: the same, clicked from behind the window's queue: what it opens may stay
    CloseBox,       // the window's close box
    Slide,          // n: the schedule slider dragged to that position
    AwaitStatus,    // n: slot, m: the status stored for it
    Exits,          // n: the start whose process must end (with code 0) within m seconds
    Running,        // n: the start whose process must still be running
    NoWindow,       // the program shows no window
    Status,         // n: slot, m: stored status (STATUS_UNSET: no stored value)
    Value,          // text: "KEY|name"; env: expected text ("" absent, "*" present, "@ u" the
                    // installed copy's uninstall command), within 5 s
    Task,           // n: 1 when the logon task "Chronoplex" must exist, 0 when it must not,
                    // within 5 s (the program checks it after its window is up)
    RunValue,       // the Run value "Chronoplex" set to start chronoplex.exe with s
    UninstallEntry, // text: the file that the uninstall entry starts with u
    HonestResult,   // n: slot: latency and correction of an honest server on loopback
    LastCorrection, // the stored last correction agrees with the honest servers
    Spacing,        // n connections logged by text (null: 127.0.8.20), each m ms or more apart
    Correction,     // n: slot; its stored correction and the last correction are m ms, +-50
    Editor,         // text: typed into the list's name editor, which must be open
    NoSettings,     // the settings key is absent, and still so n ms later
    StartInstalled, // as Start, for the copy installed in Program Files
    Installed,      // n: 1 when the installed copy's window must be up (within 15 s), 0 when
                    // neither it nor its folder may be there
    NoBox,          // text: caption; no such box opens within n ms
    Pending,        // the installed file, then its folder, await removal at restart
    LineError,      // prints the stored last correction less n ms, the servers' offset;
                    // with m set, it must lie within +-m ms
    Serve,          // text: an address where a Time server starts n s from now, for m s
    SetAgo,         // text: value name, stored as the time n s ago (8 bytes, ms since 1900)
    Pause,          // n seconds
    Post,           // n: a message posted to the program's window, m: its wParam
};

struct Step {
    Op op;
    const char* text = nullptr;
    const char* env = nullptr;
    int64_t n = 0;
    int64_t m = 0;
};

struct Scenario {
    const char* name;
    Step steps[28];
    bool defaultSpacing = false; // keep the program's own spacing of samples
    bool throughLine = false;    // needs the delay line's network
};

const char ALL_KINDS[] = "127.0.8.2 127.0.8.3 127.0.8.4 127.0.8.9 127.0.8.10 127.0.8.11 "
                         "127.0.8.12 127.0.8.13 127.0.8.14 127.0.8.15 127.0.8.16 127.0.8.17";
const char HONEST_AND_SILENT[] = "127.0.8.2 127.0.8.3 127.0.8.10";
const char BEHIND_THE_LINE[] = "198.19.0.2 198.19.0.3 198.19.0.4 198.19.0.5";
const char OTHER_VERSION[] =
    "Registry settings of other versions of Chronoplex will be erased if you run this version.";
const char UNINSTALLED[] = "Uninstall complete.  Now delete Chronoplex files.";
const char NO_PRIVILEGE[] = "You do not have privileges to set the system time.";
// The Task Scheduler's service disabled, as the platform reports it.
const char TASK_REFUSED[] = "CHRONOPLEX_FAULT_TASK=0x80070422";
// Under Wine no place is safe for an elevated start (every file reads as the user's own);
// the scenarios that need a registered task say that the place is safe.
const char SAFE_PLACE[] = "CHRONOPLEX_FAULT_SAFE_PLACE=1";
const char SAFE_PLACE_TASK_REFUSED[] =
    "CHRONOPLEX_FAULT_SAFE_PLACE=1 CHRONOPLEX_FAULT_TASK=0x80070422";
// Another copy's file, whose place counts as safe; the program's own does not.
const char OTHER_COPY[] = "C:\\Tools\\Chronoplex\\chronoplex.exe";
const char OTHER_COPY_SAFE[] = "CHRONOPLEX_FAULT_SAFE_OTHER=C:\\Tools\\Chronoplex\\chronoplex.exe";
const char OTHER_COPY_ENTRY[] = "\"C:\\Tools\\Chronoplex\\chronoplex.exe\" u";
const char TASK_LEFT[] = "Uninstall incomplete.  Windows' Task Scheduler did not let Chronoplex "
                         "remove its task \"Chronoplex\"";
const char UNSAFE_PLACE_NOTE[] =
    "Chronoplex starts itself at logon with administrator rights only from a folder that only "
    "administrators can change";
// The install folder, and only it, reads as safe; the installed copy inherits this.
const char SAFE_INSTALL[] = "CHRONOPLEX_FAULT_SAFE_INSTALL=1";

constexpr int VERSION = 0x20003;
constexpr int OK = 1, CANCEL = 2, YES = 6, NO = 7;
constexpr int ID_RUN_IF_IDLE = 6, ID_OPTIONS = 40003, ID_EXIT = 40006;

// clang-format off
const Scenario SCENARIOS[] = {
    {"silent launch correction against every kind of server", {
        {Servers, ALL_KINDS}, {SetDword, "Version", nullptr, VERSION},
        {SetByte, "CorrectOnLaunch", nullptr, 1},
        {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        // The silent server holds the run until its 20 s deadline; then 10 s to the end. A
        // server that accepts and closes ends at once, by its close notice.
        {Exits, nullptr, nullptr, 0, 60},
        {Status, nullptr, nullptr, 0, 102}, {Status, nullptr, nullptr, 1, 102},
        {Status, nullptr, nullptr, 2, 102}, {Status, nullptr, nullptr, 3, 4},
        {Status, nullptr, nullptr, 4, 3}, {Status, nullptr, nullptr, 5, 2},
        {Status, nullptr, nullptr, 6, 2}, {Status, nullptr, nullptr, 7, 2},
        {Status, nullptr, nullptr, 8, 2}, {Status, nullptr, nullptr, 9, 102},
        {Status, nullptr, nullptr, 10, 100}, {Status, nullptr, nullptr, 11, 100},
        {HonestResult, nullptr, nullptr, 0}, {HonestResult, nullptr, nullptr, 2},
        {HonestResult, nullptr, nullptr, 9}, {LastCorrection}}},
    // From the user-writable place that every file is under Wine, no uninstall entry either.
    {"first start installs the defaults and stamps the version", {
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1},
        {Value, "S|Version", "0x20003"}, {Value, "S|Server057", "*"}, {Value, "S|Server058", ""},
        {Value, "R|Chronoplex", ""}, {Value, "U|UninstallString", ""},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10}}},
    // The Task Scheduler takes the logon task, so no Run value is written beside it. A start
    // with a schedule stored registers a missing task once its window is up; giving the
    // schedule up removes it.
    {"automatic start follows the schedule position", {
        {SetDword, "Version", nullptr, VERSION}, {SetDword, "Schedule", nullptr, 4},
        {Start, "", SAFE_PLACE}, {AwaitWindow, nullptr, nullptr, 1},
        {Task, nullptr, nullptr, 1}, {Value, "R|Chronoplex", ""},
        {Value, "U|UninstallString", "* u"}, {Value, "U|DisplayName", "Chronoplex"},
        {Slide, nullptr, nullptr, 0}, {Task, nullptr, nullptr, 0}, {Value, "R|Chronoplex", ""},
        {Value, "U|UninstallString", "* u"}, {CloseBox}, {Exits, nullptr, nullptr, 0, 10},
        {SetDword, "Schedule", nullptr, 12}, {Start, "", SAFE_PLACE},
        {AwaitWindow, nullptr, nullptr, 1}, {Task, nullptr, nullptr, 1},
        {Value, "R|Chronoplex", ""}, {CloseBox}, {Exits, nullptr, nullptr, 1, 10}}},
    {"a refused logon task leaves the Run value, which the uninstall removes", {
        {SetDword, "Version", nullptr, VERSION}, {SetDword, "Schedule", nullptr, 6},
        {Start, "", SAFE_PLACE_TASK_REFUSED}, {AwaitWindow, nullptr, nullptr, 1},
        {Running, nullptr, nullptr, 0}, {Value, "R|Chronoplex", "* s"},
        {Task, nullptr, nullptr, 0}, {Value, "U|UninstallString", "* u"},
        {Slide, nullptr, nullptr, 4}, {Box, "Note!", "Windows' Task Scheduler did not", OK},
        {Start, "u", ""}, {Exits, nullptr, nullptr, 0, 10},
        {Box, TITLE, UNINSTALLED, OK}, {Exits, nullptr, nullptr, 1, 10},
        {Value, "R|Chronoplex", ""}, {Value, "U|DisplayName", ""}, {Value, "S|Version", ""},
        {Task, nullptr, nullptr, 0}}},
    // Under Wine the program's own folder is the user's: no elevated start and no uninstall
    // entry may be registered for it. A Run value for it goes; choosing a schedule says why
    // there is none.
    {"the real program registers nothing from its user-writable place", {
        {SetDword, "Version", nullptr, VERSION}, {SetDword, "Schedule", nullptr, 4}, {RunValue},
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1}, {Value, "R|Chronoplex", ""},
        {Task, nullptr, nullptr, 0}, {Slide, nullptr, nullptr, 0}, {Slide, nullptr, nullptr, 6},
        {Box, "Note!", UNSAFE_PLACE_NOTE, NO}, {Task, nullptr, nullptr, 0},
        {Value, "R|Chronoplex", ""}, {Value, "U|UninstallString", ""},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10}}},
    // Another copy's entry stays while that copy's place is safe, whatever this start does;
    // once that copy is gone (the product: under Wine no place is safe), its entry goes.
    {"a start from a user's folder changes no uninstall entry that names another file", {
        {SetDword, "Version", nullptr, VERSION}, {UninstallEntry, OTHER_COPY},
        {Start, "", OTHER_COPY_SAFE}, {AwaitWindow, nullptr, nullptr, 1},
        {Slide, nullptr, nullptr, 4}, {Box, "Note!", UNSAFE_PLACE_NOTE, OK},
        {Slide, nullptr, nullptr, 0}, {Value, "U|UninstallString", OTHER_COPY_ENTRY},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10},
        {Value, "U|UninstallString", OTHER_COPY_ENTRY},
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1}, {Value, "U|UninstallString", ""},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 1, 10}}},
    {"a second start shows the running copy", {
        {SetDword, "Version", nullptr, VERSION}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Start, ""}, {Exits, nullptr, nullptr, 1, 10}, {AwaitWindow, nullptr, nullptr, 1},
        {Command, nullptr, nullptr, 2 /* IDCANCEL: hide, no schedule: end */},
        {Exits, nullptr, nullptr, 0, 10}}},
    {"a second start with s also shows it", {
        {SetDword, "Version", nullptr, VERSION}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Start, "s"}, {Exits, nullptr, nullptr, 1, 10}, {AwaitWindow, nullptr, nullptr, 1},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10}}},
    {"with correct-on-launch a second start asks the running copy for a run", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, VERSION},
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, ""}, {Exits, nullptr, nullptr, 1, 10},
        {AwaitStatus, nullptr, nullptr, 0, 102}, {Running, nullptr, nullptr, 0},
        {Value, "S|Version", "0x20003"},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10}}},
    // The uninstall is not a start: "Corregir al Ejecutar" does not turn it into a run request.
    {"uninstall with a running copy and correct-on-launch on", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, VERSION},
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, "u"}, {Exits, nullptr, nullptr, 0, 10},
        {Box, TITLE, UNINSTALLED, OK}, {Exits, nullptr, nullptr, 1, 10},
        {NoSettings, nullptr, nullptr, 500}, {Value, "U|DisplayName", ""}}},
    // The uninstall runs the file that the entry names (the fault build, without faults): a
    // copy of another file would leave that file's entry.
    {"uninstall ends the running copy and removes every entry", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, VERSION},
        {SetDword, "Schedule", nullptr, 6}, {Start, "", SAFE_PLACE},
        {AwaitWindow, nullptr, nullptr, 1}, {Task, nullptr, nullptr, 1}, {Start, "u", ""},
        {Exits, nullptr, nullptr, 0, 10}, {Box, TITLE, UNINSTALLED, OK},
        {Exits, nullptr, nullptr, 1, 10}, {Value, "S|Version", ""}, {Value, "R|Chronoplex", ""},
        {Value, "U|DisplayName", ""}, {Task, nullptr, nullptr, 0}}},
    {"an uninstall that cannot remove the logon task says so", {
        {SetDword, "Version", nullptr, VERSION}, {SetDword, "Schedule", nullptr, 6},
        {Start, "", SAFE_PLACE}, {AwaitWindow, nullptr, nullptr, 1}, {Task, nullptr, nullptr, 1},
        {Start, "u", TASK_REFUSED}, {Exits, nullptr, nullptr, 0, 10},
        {Box, TITLE, TASK_LEFT, OK}, {Exits, nullptr, nullptr, 1, 10},
        {Task, nullptr, nullptr, 1}, {Value, "S|Version", ""}}},
    {"uninstall without a running copy", {
        {SetDword, "Version", nullptr, VERSION}, {SetDword, "Schedule", nullptr, 6},
        {Start, "u"}, {Box, TITLE, UNINSTALLED, OK}, {Exits, nullptr, nullptr, 0, 10},
        {Value, "S|Version", ""}, {Value, "U|UninstallString", ""}}},
    {"settings of another version, answered Cancel", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, 0x20002},
        {Start, "s"}, {Box, TITLE, OTHER_VERSION, CANCEL}, {Exits, nullptr, nullptr, 0, 10},
        {NoWindow}, {Value, "S|Version", "0x20002"}, {Status, nullptr, nullptr, 0, 0}}},
    // Too long to read into a version number, yet a version all the same: not this one.
    {"a stored version of 100 bytes is another version's", {
        {Servers, "127.0.8.2"}, {SetByte, "Version", nullptr, 3, 100},
        {Start, "s"}, {Box, TITLE, OTHER_VERSION, CANCEL}, {Exits, nullptr, nullptr, 0, 10},
        {NoWindow}, {Value, "S|Version", "100 bytes"}, {Status, nullptr, nullptr, 0, 0}}},
    {"settings of another version, answered OK", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, 0x20002},
        {Start, ""}, {Box, TITLE, OTHER_VERSION, OK}, {AwaitWindow, nullptr, nullptr, 1},
        {Value, "S|Version", "0x20003"}, {Value, "S|Server057", "*"},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10}}},
    {"ending during a run keeps the finished servers", {
        {Servers, HONEST_AND_SILENT}, {SetDword, "Version", nullptr, VERSION},
        {Start, ""}, {AwaitWindow, nullptr, nullptr, 1}, {Click, nullptr, nullptr, 1},
        {AwaitStatus, nullptr, nullptr, 0, 102}, {AwaitStatus, nullptr, nullptr, 1, 102},
        {CloseBox}, {Exits, nullptr, nullptr, 0, 10},
        {Status, nullptr, nullptr, 2, 8}, {Status, nullptr, nullptr, 0, 102},
        {HonestResult, nullptr, nullptr, 0}, {LastCorrection}}},
    {"a settings value that cannot be written ends the program", {
        {Servers, HONEST_AND_SILENT}, {SetDword, "Version", nullptr, VERSION},
        {Start, "", "CHRONOPLEX_FAULT_VALUE=Server001"}, {AwaitWindow, nullptr, nullptr, 1},
        {Click, nullptr, nullptr, 1}, {Box, TITLE, "Registry Problem", OK},
        {Exits, nullptr, nullptr, 0, 10},
        // Slot 1's record is as it was before the run; the others are whole records.
        {Status, nullptr, nullptr, 1, 0}, {Value, "S|Server000", "*"}, {Value, "S|Server002", "*"},
        {Value, "S|Version", "0x20003"}}},
    {"without the privilege to set the clock", {
        {SetDword, "Version", nullptr, VERSION},
        {Start, "", "CHRONOPLEX_FAULT_CLOCK=1314"}, {Box, TITLE, NO_PRIVILEGE, OK},
        {Exits, nullptr, nullptr, 0, 10}, {NoWindow},
        {Start, "s", "CHRONOPLEX_FAULT_CLOCK=1314"}, {Exits, nullptr, nullptr, 1, 10},
        {NoWindow}, {Value, "R|Chronoplex", ""}}},
    // The default spacing, against one server under two names (127.0.2068 is 127.0.8.20).
    {"connections to one address lie four seconds apart, under either name", {
        {Servers, "127.0.8.20 127.0.2068"}, {SetDword, "Version", nullptr, VERSION},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Exits, nullptr, nullptr, 0, 120},
        {Status, nullptr, nullptr, 0, 102}, {Status, nullptr, nullptr, 1, 102},
        {Spacing, nullptr, nullptr, 14, 4000}}, true},
    // Only a REG_DWORD counts: four bytes of text are no spacing of 0x00303031 ms (60 s).
    {"\"SampleSpacing\" as text keeps the default", {
        {Servers, "127.0.8.21"}, {SetDword, "Version", nullptr, VERSION},
        {SetText, "SampleSpacing", "100"},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Exits, nullptr, nullptr, 0, 90}, {Status, nullptr, nullptr, 0, 102},
        {Spacing, "127.0.8.21", nullptr, 7, 4000}}, true},
    // The whole seconds of a server 1.234 s ahead, aimed at, give its fraction too. Wine
    // refuses to move the clock that far, but the amount is stored.
    {"a server at a fractional offset is found to within 50 ms", {
        {Servers, "127.0.8.18"}, {SetDword, "Version", nullptr, VERSION},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Exits, nullptr, nullptr, 0, 60}, {Status, nullptr, nullptr, 0, 102},
        {Correction, nullptr, nullptr, 0, 1234}}},
    {"a clock that cannot be set for another reason", {
        {SetDword, "Version", nullptr, VERSION},
        {Start, "s", "CHRONOPLEX_FAULT_CLOCK=87"}, {Box, TITLE, "Cannot set the system time", OK},
        {Exits, nullptr, nullptr, 0, 10}, {NoWindow}}},
    {"uninstall ends a running copy whose name editor is open", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, VERSION}, {Start, ""},
        {AwaitWindow, nullptr, nullptr, 1}, {Command, nullptr, nullptr, 40007 /* add server */},
        {Editor, "typed.example.org"}, {Start, "u"}, {Exits, nullptr, nullptr, 0, 10},
        {Box, TITLE, UNINSTALLED, OK}, {Exits, nullptr, nullptr, 1, 10},
        {NoSettings, nullptr, nullptr, 1000}}},
    // The exit closes the question that the running copy shows, so that it ends in time; the
    // option asked about stays off.
    {"uninstall ends a running copy that shows a box", {
        {Servers, "127.0.8.2"}, {SetDword, "Version", nullptr, VERSION}, {Start, ""},
        {AwaitWindow, nullptr, nullptr, 1}, {PostClick, nullptr, nullptr, 1013},
        {Box, "Note!", "This will prevent", 0}, {Start, "u"}, {Exits, nullptr, nullptr, 0, 10},
        {Box, TITLE, UNINSTALLED, OK}, {Exits, nullptr, nullptr, 1, 10},
        {NoSettings, nullptr, nullptr, 1000}}},
    // Yes installs the copy in Program Files and hands over to it, which registers the logon
    // task and the uninstall entry for itself. A second start from the user's folder only shows
    // it. Its uninstall leaves its file and folder to the next restart, which Wine records but
    // never carries out.
    {"installed at one click, and removed by its own uninstall", {
        {SetDword, "Version", nullptr, VERSION}, {Start, "", SAFE_INSTALL},
        {AwaitWindow, nullptr, nullptr, 1}, {Slide, nullptr, nullptr, 6},
        {Box, "Note!", UNSAFE_PLACE_NOTE, YES}, {Exits, nullptr, nullptr, 0, 15},
        {Installed, nullptr, nullptr, 1}, {Task, nullptr, nullptr, 1},
        {Value, "U|UninstallString", "@ u"}, {Value, "R|Chronoplex", ""},
        {Start, "", SAFE_INSTALL}, {Exits, nullptr, nullptr, 1, 10},
        {Value, "U|UninstallString", "@ u"}, {Task, nullptr, nullptr, 1},
        {StartInstalled, "u", SAFE_INSTALL},
        {Box, TITLE, "Uninstall complete.  Windows removes ", OK},
        {Exits, nullptr, nullptr, 2, 15}, {Value, "U|UninstallString", ""},
        {Task, nullptr, nullptr, 0}, {Pending}}},
    // Under Wine no place is safe, the install folder neither: the copy made there is taken
    // back, nothing starts, and the question is not asked again.
    {"the real program asks once, and under Wine installs nothing", {
        {SetDword, "Version", nullptr, VERSION}, {Start, ""}, {AwaitWindow, nullptr, nullptr, 1},
        {Slide, nullptr, nullptr, 6}, {Box, "Note!", UNSAFE_PLACE_NOTE, YES},
        {Box, "Note!", "Chronoplex was not installed: in ", OK}, {Running, nullptr, nullptr, 0},
        {Installed, nullptr, nullptr, 0}, {Task, nullptr, nullptr, 0},
        {Slide, nullptr, nullptr, 0}, {Slide, nullptr, nullptr, 4},
        {NoBox, "Note!", nullptr, 1500}, {Command, nullptr, nullptr, ID_EXIT},
        {Exits, nullptr, nullptr, 0, 10}}},
    // The line's test gives it 100 ms each way, and its servers are exact: the correction is
    // theirs to within a few milliseconds, not half a round trip.
    {"through a 200 ms round trip four exact servers are used", {
        {Servers, BEHIND_THE_LINE}, {SetDword, "Version", nullptr, VERSION},
        {SetByte, "CorrectOnLaunch", nullptr, 1}, {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0},
        {Exits, nullptr, nullptr, 0, 90},
        {Status, nullptr, nullptr, 0, 102}, {Status, nullptr, nullptr, 1, 102},
        {Status, nullptr, nullptr, 2, 102}, {Status, nullptr, nullptr, 3, 102},
        {LineError, nullptr, nullptr, 0, 40}}, false, true},
    // Refused at the first tick, tried again a minute later, after the server appeared. Then a
    // start whose last success is two hours old (daily, not due) runs 20 s after a resume.
    {"an hourly schedule corrects once the server appears, and after a resume", {
        {Servers, "127.0.8.30"}, {SetDword, "Version", nullptr, VERSION},
        {SetDword, "Schedule", nullptr, 4}, {Serve, "127.0.8.30", nullptr, 40, 150},
        {Start, "s"}, {AwaitWindow, nullptr, nullptr, 0}, {AwaitStatus, nullptr, nullptr, 0, 4},
        {Pause, nullptr, nullptr, 45}, {AwaitStatus, nullptr, nullptr, 0, 102},
        {LastCorrection}, {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 0, 10},
        {Servers, "127.0.8.30"}, {SetDword, "Schedule", nullptr, 6},
        {SetAgo, "LastCorrectionTime", nullptr, 7200}, {Start, "s"},
        {AwaitWindow, nullptr, nullptr, 0}, {Pause, nullptr, nullptr, 5},
        {Post, nullptr, nullptr, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC},
        {Pause, nullptr, nullptr, 15}, {Status, nullptr, nullptr, 0, 0},
        {AwaitStatus, nullptr, nullptr, 0, 102},
        {Command, nullptr, nullptr, ID_EXIT}, {Exits, nullptr, nullptr, 1, 10}}},
};
// clang-format on

// ---- a Time server that appears late ----

struct LateServer {
    char address[16];
    DWORD delayMs;
    DWORD lifetimeMs;
};

// Answers each connection with this machine's whole seconds since 1900, and ends by itself.
DWORD WINAPI ServeLate(void* context) {
    const LateServer server = *static_cast<LateServer*>(context);
    delete static_cast<LateServer*>(context);
    Sleep(server.delayMs);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(37);
    at.sin_addr.s_addr = inet_addr(server.address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener, 16) != 0) {
        closesocket(listener);
        return 1;
    }
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < server.lifetimeMs) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener, &ready);
        timeval wait = {0, 200000};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1) {
            continue;
        }
        SOCKET client = accept(listener, nullptr, nullptr);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const uint32_t seconds = htonl(static_cast<uint32_t>(
            (uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) / 10000000 - 9435484800));
        send(client, reinterpret_cast<const char*>(&seconds), 4, 0);
        closesocket(client);
    }
    closesocket(listener);
    return 0;
}

// ---- the registry ----

HKEY OpenKey(const char* path) {
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS ? key
                                                                                       : nullptr;
}

void WriteValue(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, SETTINGS, &key), ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

// The value as text: a DWORD in hex, text as it stands, binary as its size; "" when missing.
std::string ReadValue(const char* path, const char* name) {
    HKEY key = OpenKey(path);
    if (key == nullptr) {
        return "";
    }
    BYTE data[512] = {};
    DWORD size = sizeof data, type = 0;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return "";
    }
    char text[600];
    if (type == REG_DWORD) {
        DWORD v;
        memcpy(&v, data, sizeof v);
        snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(v));
    } else if (type == REG_SZ) {
        snprintf(text, sizeof text, "%s", reinterpret_cast<char*>(data));
    } else {
        snprintf(text, sizeof text, "%lu bytes", static_cast<unsigned long>(size));
    }
    return text;
}

// The program's logon task in the Task Scheduler's root folder, asked of the scheduler itself:
// 1 present, 0 absent, -1 when the scheduler cannot be asked. With remove set it is deleted
// first. Wine 8 keeps a registered task's name and settings but drops its trigger, its
// principal and its action's command, so existence is all that can be judged here; the
// definition is tested natively.
int LogonTask(bool remove) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int state = -1;
    ITaskService* service = nullptr;
    ITaskFolder* root = nullptr;
    BSTR rootName = SysAllocString(L"\\");
    BSTR name = SysAllocString(L"Chronoplex");
    VARIANT none;
    VariantInit(&none);
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITaskService, reinterpret_cast<void**>(&service))) &&
        SUCCEEDED(service->Connect(none, none, none, none)) &&
        SUCCEEDED(service->GetFolder(rootName, &root))) {
        if (remove) {
            root->DeleteTask(name, 0);
        }
        IRegisteredTask* task = nullptr;
        const HRESULT found = root->GetTask(name, &task);
        state = SUCCEEDED(found) ? 1 : found == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? 0 : -1;
        if (task != nullptr) {
            task->Release();
        }
    }
    if (root != nullptr) {
        root->Release();
    }
    if (service != nullptr) {
        service->Release();
    }
    SysFreeString(rootName);
    SysFreeString(name);
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    return state;
}

bool ReadServer(int slot, ServerRecord* out) {
    HKEY key = OpenKey(SETTINGS);
    if (key == nullptr) {
        return false;
    }
    char name[16];
    snprintf(name, sizeof name, "Server%03d", slot);
    DWORD size = sizeof *out;
    const bool read = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out),
                                       &size) == ERROR_SUCCESS &&
                      size == sizeof *out;
    RegCloseKey(key);
    return read;
}

int StoredStatus(int slot) {
    ServerRecord s;
    return ReadServer(slot, &s) ? s.status : STATUS_UNSET;
}

void ClearRegistry() {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UNINSTALL);
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, RUN, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "Chronoplex");
        RegCloseKey(key);
    }
    LogonTask(true);
}

void InstallServers(const char* names) {
    char list[512];
    snprintf(list, sizeof list, "%s", names);
    int slot = 0;
    for (char* name = strtok(list, " "); name != nullptr; name = strtok(nullptr, " ")) {
        ServerRecord s = {};
        snprintf(s.name, sizeof s.name, "%s", name);
        s.enabled = 1;
        char value[16];
        snprintf(value, sizeof value, "Server%03d", slot++);
        WriteValue(value, REG_BINARY, &s, sizeof s);
    }
}

// ---- the program's processes and windows ----

// Where the program installs itself: Program Files as Windows gives it to a 32-bit program.
std::string InstallFolder() {
    char programFiles[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    return std::string(programFiles) + "\\Chronoplex";
}

std::string InstalledPath() {
    return InstallFolder() + "\\chronoplex.exe";
}

std::string ProgramPath(bool faults) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = strrchr(path, '\\');
    snprintf(slash + 1, sizeof path - static_cast<size_t>(slash + 1 - path), "%s",
             faults ? "chronoplex_faults.exe" : "chronoplex.exe");
    return path;
}

bool WaitFor(DWORD ms, bool (*condition)(const void*), const void* context) {
    const DWORD start = GetTickCount();
    while (!condition(context)) {
        if (GetTickCount() - start > ms) {
            return condition(context);
        }
        Sleep(50);
    }
    return true;
}

// The program's dialog: the title and the server list; a box carries the same title.
HWND ProgramWindow() {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "#32770", TITLE)) != nullptr) {
        if (GetDlgItem(w, SERVER_LIST_ID) != nullptr) {
            return w;
        }
    }
    return nullptr;
}

HWND FindBox(const char* caption) {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "#32770", caption)) != nullptr) {
        if (GetDlgItem(w, SERVER_LIST_ID) == nullptr && IsWindowVisible(w)) {
            return w;
        }
    }
    return nullptr;
}

class Runner {
  public:
    ~Runner() {
        for (int i = 0; i < count_; i++) {
            if (WaitForSingleObject(processes_[i], 0) == WAIT_TIMEOUT) {
                TerminateProcess(processes_[i], 1);
            }
            CloseHandle(processes_[i]);
        }
    }

    void Run(const Scenario& scenario) {
        if (!scenario.defaultSpacing) {
            const DWORD none = 0;
            WriteValue("SampleSpacing", REG_DWORD, &none, sizeof none);
        }
        for (const Step& step : scenario.steps) {
            if (step.op == End || ::testing::Test::HasFatalFailure()) {
                return;
            }
            Do(step);
        }
    }

  private:
    void Do(const Step& s) {
        switch (s.op) {
        case Servers:
            InstallServers(s.text);
            break;
        case SetDword: {
            const DWORD v = static_cast<DWORD>(s.n);
            WriteValue(s.text, REG_DWORD, &v, sizeof v);
            break;
        }
        case SetByte: {
            BYTE v[128];
            const DWORD count = s.m > 0 && s.m <= 128 ? static_cast<DWORD>(s.m) : 1;
            memset(v, static_cast<int>(s.n), count);
            WriteValue(s.text, REG_BINARY, v, count);
            break;
        }
        case SetText:
            WriteValue(s.text, REG_SZ, s.env, static_cast<DWORD>(strlen(s.env) + 1));
            break;
        case Start:
            StartProgram(s.text, s.env);
            break;
        case AwaitWindow:
            ASSERT_TRUE(WaitFor(
                15000,
                [](const void* visible) {
                    HWND w = ProgramWindow();
                    return w != nullptr && (IsWindowVisible(w) != FALSE) ==
                                               (*static_cast<const int64_t*>(visible) != 0);
                },
                &s.n))
                << "the program's window, visible " << s.n;
            break;
        case Box:
            AnswerBox(s.text, s.env, static_cast<int>(s.n));
            break;
        case Command:
            ASSERT_NE(ProgramWindow(), nullptr);
            SendMessageA(ProgramWindow(), WM_COMMAND, static_cast<WPARAM>(s.n), 0);
            break;
        case Click:
            ASSERT_NE(ProgramWindow(), nullptr);
            SendMessageA(GetDlgItem(ProgramWindow(), static_cast<int>(s.n)), BM_CLICK, 0, 0);
            break;
        case PostClick:
            ASSERT_NE(ProgramWindow(), nullptr);
            PostMessageA(GetDlgItem(ProgramWindow(), static_cast<int>(s.n)), BM_CLICK, 0, 0);
            break;
        case Slide: {
            ASSERT_NE(ProgramWindow(), nullptr);
            HWND slider = GetDlgItem(ProgramWindow(), SCHEDULE_SLIDER_ID);
            SendMessageA(slider, TBM_SETPOS, TRUE, static_cast<LPARAM>(s.n));
            SendMessageA(ProgramWindow(), WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                         reinterpret_cast<LPARAM>(slider));
            break;
        }
        case CloseBox:
            ASSERT_NE(ProgramWindow(), nullptr);
            PostMessageA(ProgramWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case AwaitStatus: {
            const int64_t slotStatus[2] = {s.n, s.m};
            EXPECT_TRUE(WaitFor(
                30000,
                [](const void* c) {
                    const int64_t* v = static_cast<const int64_t*>(c);
                    return StoredStatus(static_cast<int>(v[0])) == v[1];
                },
                slotStatus))
                << "slot " << s.n << " status " << StoredStatus(static_cast<int>(s.n));
            break;
        }
        case Exits:
            ASSERT_LT(s.n, count_);
            ASSERT_EQ(WaitForSingleObject(processes_[s.n], static_cast<DWORD>(s.m * 1000)),
                      WAIT_OBJECT_0)
                << "start " << s.n << " still running";
            {
                DWORD code = 1;
                GetExitCodeProcess(processes_[s.n], &code);
                EXPECT_EQ(code, 0u) << "start " << s.n;
            }
            break;
        case Running:
            ASSERT_LT(s.n, count_);
            EXPECT_EQ(WaitForSingleObject(processes_[s.n], 500), static_cast<DWORD>(WAIT_TIMEOUT));
            break;
        case NoWindow:
            EXPECT_EQ(ProgramWindow(), nullptr);
            break;
        case Status:
            EXPECT_EQ(StoredStatus(static_cast<int>(s.n)), s.m) << "slot " << s.n;
            break;
        case Value:
            AwaitValue(s.text, s.env);
            ExpectValue(s.text, s.env);
            break;
        case Task:
            WaitFor(
                5000,
                [](const void* wanted) {
                    return LogonTask(false) == *static_cast<const int64_t*>(wanted);
                },
                &s.n);
            EXPECT_EQ(LogonTask(false), s.n) << "the logon task";
            break;
        case RunValue: {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, RUN, &key), ERROR_SUCCESS);
            const std::string command = '"' + ProgramPath(false) + "\" s";
            RegSetValueExA(key, "Chronoplex", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(command.c_str()),
                           static_cast<DWORD>(command.size() + 1));
            RegCloseKey(key);
            break;
        }
        case UninstallEntry: {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, UNINSTALL, &key), ERROR_SUCCESS);
            const std::string command = '"' + std::string(s.text) + "\" u";
            RegSetValueExA(key, "UninstallString", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(command.c_str()),
                           static_cast<DWORD>(command.size() + 1));
            RegCloseKey(key);
            break;
        }
        case HonestResult:
            ExpectHonest(static_cast<int>(s.n));
            break;
        case LastCorrection:
            ExpectLastCorrection();
            break;
        case Spacing:
            ExpectSpacing(s.text != nullptr ? s.text : "127.0.8.20", static_cast<int>(s.n),
                          static_cast<double>(s.m));
            break;
        case Correction:
            ExpectCorrection(static_cast<int>(s.n), s.m);
            break;
        case Editor: {
            ASSERT_NE(ProgramWindow(), nullptr);
            HWND list = GetDlgItem(ProgramWindow(), SERVER_LIST_ID);
            HWND edit = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETEDITCONTROL, 0, 0));
            ASSERT_NE(edit, nullptr) << "no name editor open";
            SetWindowTextA(edit, s.text);
            break;
        }
        case NoSettings:
            for (const DWORD wait : {DWORD{0}, static_cast<DWORD>(s.n)}) {
                Sleep(wait);
                HKEY key = OpenKey(SETTINGS);
                EXPECT_EQ(key, nullptr) << "the settings key " << wait << " ms after";
                RegCloseKey(key);
            }
            break;
        case StartInstalled:
            StartProgram(s.text, s.env, InstalledPath());
            break;
        case Installed:
            if (s.n != 0) {
                EXPECT_TRUE(WaitFor(
                    15000, [](const void*) { return InstalledWindow(); }, nullptr))
                    << "no window of " << InstalledPath();
            } else {
                EXPECT_FALSE(InstalledWindow());
                EXPECT_EQ(GetFileAttributesA(InstallFolder().c_str()), INVALID_FILE_ATTRIBUTES)
                    << InstallFolder();
            }
            break;
        case NoBox:
            Sleep(static_cast<DWORD>(s.n));
            EXPECT_EQ(FindBox(s.text), nullptr) << s.text;
            break;
        case Pending:
            ExpectPending();
            break;
        case LineError:
            ExpectLineError(s.n, s.m);
            break;
        case Serve: {
            auto* server =
                new LateServer{{}, static_cast<DWORD>(s.n * 1000), static_cast<DWORD>(s.m * 1000)};
            snprintf(server->address, sizeof server->address, "%s", s.text);
            HANDLE thread = CreateThread(nullptr, 0, ServeLate, server, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            CloseHandle(thread);
            break;
        }
        case SetAgo: {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const int64_t ms =
                static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) /
                                     10000) -
                9435484800000 - s.n * 1000;
            WriteValue(s.text, REG_BINARY, &ms, sizeof ms);
            break;
        }
        case Pause:
            Sleep(static_cast<DWORD>(s.n * 1000));
            break;
        case Post:
            ASSERT_NE(ProgramWindow(), nullptr);
            PostMessageA(ProgramWindow(), static_cast<UINT>(s.n), static_cast<WPARAM>(s.m), 0);
            break;
        case End:
            break;
        }
    }

    // The program's window belongs to a process started from the installed file.
    static bool InstalledWindow() {
        HWND window = ProgramWindow();
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        HANDLE process =
            window != nullptr ? OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id) : nullptr;
        if (process == nullptr) {
            return false;
        }
        char image[MAX_PATH] = {};
        DWORD size = sizeof image;
        const BOOL named = QueryFullProcessImageNameA(process, 0, image, &size);
        CloseHandle(process);
        return named && lstrcmpiA(image, InstalledPath().c_str()) == 0;
    }

    // Pairs of names: what goes, and an empty name for a removal.
    static void ExpectPending() {
        HKEY key = OpenKey("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
        ASSERT_NE(key, nullptr);
        char data[4096] = {};
        DWORD size = sizeof data - 2;
        const LONG read = RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        ASSERT_EQ(read, ERROR_SUCCESS);
        std::string names;
        for (const char* p = data; p < data + size && *p != 0; p += strlen(p) + 1) {
            names += std::string(p) + "|";
            p += strlen(p) + 1;
        }
        EXPECT_EQ(names, "\\??\\" + InstalledPath() + "|\\??\\" + InstallFolder() + "|");
    }

    void StartProgram(const char* letters, const char* fault, const std::string& file = "") {
        ASSERT_LT(count_, 8);
        const std::string path = file.empty() ? ProgramPath(fault != nullptr) : file;
        lastStartFaults_ = fault != nullptr;
        std::string commandLine = "\"" + path + "\"";
        if (letters[0] != 0) {
            commandLine += std::string(" ") + letters;
        }
        char faults[256] = {};
        snprintf(faults, sizeof faults, "%s", fault != nullptr ? fault : "");
        SetFaults(faults, true);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        std::string mutableLine = commandLine;
        const BOOL started = CreateProcessA(path.c_str(), &mutableLine[0], nullptr, nullptr, FALSE,
                                            0, nullptr, nullptr, &startup, &info);
        SetFaults(faults, false);
        ASSERT_TRUE(started) << commandLine;
        CloseHandle(info.hThread);
        processes_[count_++] = info.hProcess;
    }

    // "NAME=VALUE NAME=VALUE": each set in this process's environment, which the program
    // inherits, or taken out again.
    static void SetFaults(const char* faults, bool set) {
        char list[256];
        snprintf(list, sizeof list, "%s", faults);
        for (char* item = strtok(list, " "); item != nullptr; item = strtok(nullptr, " ")) {
            char* equals = strchr(item, '=');
            if (equals != nullptr) {
                *equals = 0;
                SetEnvironmentVariableA(item, set ? equals + 1 : nullptr);
            }
        }
    }

    static void AnswerBox(const char* caption, const char* textStart, int answer) {
        struct Wanted {
            const char* caption;
            HWND box;
        } wanted = {caption, nullptr};
        ASSERT_TRUE(WaitFor(
            20000,
            [](const void* c) {
                Wanted* w = const_cast<Wanted*>(static_cast<const Wanted*>(c));
                w->box = FindBox(w->caption);
                return w->box != nullptr;
            },
            &wanted))
            << "no box captioned " << caption;
        char text[512] = {};
        GetDlgItemTextA(wanted.box, 0xFFFF, text, sizeof text);
        EXPECT_EQ(std::string(text).rfind(textStart, 0), 0u) << text;
        if (answer != 0) {
            PostMessageA(wanted.box, WM_COMMAND, static_cast<WPARAM>(answer), 0);
            // Gone before the next step looks for a box: the next may carry the same caption.
            WaitFor(
                5000,
                [](const void* box) {
                    return !IsWindow(static_cast<HWND>(const_cast<void*>(box)));
                },
                wanted.box);
        }
    }

    // Waits up to 5 s for the value to be as expected; a check the program makes after its
    // window is up may still be under way.
    void AwaitValue(const char* where, const char* expected) const {
        struct Wanted {
            const Runner* runner;
            const char* where;
            const char* expected;
        } wanted = {this, where, expected};
        WaitFor(
            5000,
            [](const void* c) {
                const Wanted* w = static_cast<const Wanted*>(c);
                return w->runner->ValueIs(w->where, w->expected);
            },
            &wanted);
    }

    bool ValueIs(const char* where, const char* expected) const {
        const char* path = where[0] == 'S' ? SETTINGS : where[0] == 'R' ? RUN : UNINSTALL;
        const std::string actual = ReadValue(path, where + 2);
        const std::string e = expected;
        if (e == "*") {
            return actual != "";
        }
        if (e == "@ u") {
            return actual == '"' + InstalledPath() + "\" u";
        }
        if (e.size() == 3 && e[0] == '*') {
            return actual.size() >= 2 && actual.substr(actual.size() - 2) == e.substr(1) &&
                   actual.rfind('"' + ProgramPath(lastStartFaults_) + '"', 0) == 0;
        }
        return actual == e;
    }

    // "S|name" the settings key, "R|name" the automatic start, "U|name" the uninstall entry.
    // Expected "" missing, "*" present, "* s" present and ending in " s" (and starting with
    // the quoted path of the program last started), else the value.
    void ExpectValue(const char* where, const char* expected) const {
        const char* path = where[0] == 'S' ? SETTINGS : where[0] == 'R' ? RUN : UNINSTALL;
        const std::string actual = ReadValue(path, where + 2);
        const std::string e = expected;
        if (e == "*") {
            EXPECT_NE(actual, "") << where;
        } else if (e == "@ u") {
            EXPECT_EQ(actual, '"' + InstalledPath() + "\" u") << where;
        } else if (e.size() == 3 && e[0] == '*') {
            EXPECT_GE(actual.size(), 2u) << where;
            EXPECT_EQ(actual.substr(actual.size() < 2 ? 0 : actual.size() - 2), e.substr(1))
                << where;
            EXPECT_EQ(actual.rfind('"' + ProgramPath(lastStartFaults_) + '"', 0), 0u) << actual;
        } else {
            EXPECT_EQ(actual, e) << where;
        }
    }

    // A server on loopback answers within the second it reads; the correction lies between
    // a second plus half the latency behind and half the latency ahead.
    static void ExpectHonest(int slot) {
        ServerRecord s;
        ASSERT_TRUE(ReadServer(slot, &s)) << slot;
        EXPECT_LT(s.latency, 1000u) << s.name;
        EXPECT_GE(s.correction, -1000 - int64_t{s.latency} - 50) << s.name;
        EXPECT_LE(s.correction, int64_t{s.latency} + 50) << s.name;
    }

    // Under Wine a correction under half a second is taken (a time is stored), a larger one is
    // refused for lack of privilege (0 is stored); either way the amount is stored.
    static void ExpectLastCorrection() {
        HKEY key = OpenKey(SETTINGS);
        ASSERT_NE(key, nullptr);
        int64_t time = -1, value = -1;
        DWORD size = 8;
        EXPECT_EQ(RegQueryValueExA(key, "LastCorrectionTime", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&time), &size),
                  ERROR_SUCCESS);
        size = 8;
        EXPECT_EQ(RegQueryValueExA(key, "LastCorrectionValue", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_GE(value, -1100);
        EXPECT_LE(value, 100);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const int64_t nowMs =
            static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) / 10000) -
            9435484800000;
        if (value <= -500 || value >= 500) {
            EXPECT_EQ(time, 0);
        } else {
            EXPECT_LE(std::llabs(time - nowMs), 120000) << time;
        }
    }

    // The recording server's log lies in the fixture's folder, a Linux path that Wine shows
    // under Z:.
    static void ExpectSpacing(const char* address, int connections, double minGapMs) {
        const char* peers = getenv("CHRONOPLEX_E2E_PEERS");
        ASSERT_NE(peers, nullptr);
        const std::string path = std::string("Z:") + peers + "/server.log";
        FILE* log = fopen(path.c_str(), "r");
        ASSERT_NE(log, nullptr) << path;
        char line[128];
        int count = 0;
        double last = 0;
        while (fgets(line, sizeof line, log) != nullptr) {
            char from[32] = {};
            double at = 0;
            if (sscanf(line, "connect %31s %lf", from, &at) != 2 || strcmp(from, address) != 0) {
                continue;
            }
            if (count++ > 0) {
                EXPECT_GE(at - last, minGapMs) << "connection " << count;
            }
            last = at;
        }
        fclose(log);
        EXPECT_EQ(count, connections);
    }

    // Loose: this is the real program on a busy machine, not the benchmark.
    static void ExpectCorrection(int slot, int64_t expected) {
        ServerRecord s;
        ASSERT_TRUE(ReadServer(slot, &s)) << slot;
        EXPECT_LE(std::llabs(s.correction - expected), 50) << s.name << " " << s.correction;
        int64_t value = 0;
        ASSERT_TRUE(ReadLastCorrectionValue(&value));
        EXPECT_EQ(value, s.correction);
    }

    static bool ReadLastCorrectionValue(int64_t* value) {
        HKEY key = OpenKey(SETTINGS);
        if (key == nullptr) {
            return false;
        }
        DWORD size = sizeof *value;
        const LONG result = RegQueryValueExA(key, "LastCorrectionValue", nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        return result == ERROR_SUCCESS && size == sizeof *value;
    }

    static void ExpectLineError(int64_t theta, int64_t bound) {
        int64_t value = 0;
        ASSERT_TRUE(ReadLastCorrectionValue(&value));
        const char* line = getenv("CHRONOPLEX_DELAY_LINE");
        printf("through the line (%s ms): correction %+lld ms, error %+lld ms\n",
               line != nullptr ? line : "?", static_cast<long long>(value),
               static_cast<long long>(value - theta));
        if (bound > 0) {
            EXPECT_LE(std::llabs(value - theta), bound);
        }
    }

    HANDLE processes_[8] = {};
    int count_ = 0;
    bool lastStartFaults_ = false;
};

class ProgramE2E : public ::testing::TestWithParam<int> {};

TEST_P(ProgramE2E, Scenario) {
    const Scenario& scenario = SCENARIOS[GetParam()];
    SCOPED_TRACE(scenario.name);
    if (scenario.throughLine && getenv("CHRONOPLEX_DELAY_LINE") == nullptr) {
        GTEST_SKIP() << "runs only through the delay line (the test e2e_through_the_line)";
    }
    ClearRegistry();
    {
        Runner runner;
        runner.Run(scenario);
    }
    // Nothing of the program may outlive its scenario.
    WaitFor(
        5000, [](const void*) { return ProgramWindow() == nullptr; }, nullptr);
    ClearRegistry();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProgramE2E,
                         ::testing::Range(0,
                                          static_cast<int>(sizeof SCENARIOS / sizeof SCENARIOS[0])),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = SCENARIOS[info.param].name;
                             for (char& c : name) {
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

} // namespace
