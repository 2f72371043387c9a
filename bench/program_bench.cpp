// Whole-program figures: the real program measured from outside, as a user meets it, next to
// the plainest dialog program started the same way. Runs inside the Wine prefix that
// tools/bench-program prepares (the settings version, "SampleSpacing" 0 and 64 servers on
// 127.0.9.2 onwards already stored; Time servers of a known offset listening on 127.0.11.2
// onwards) and prints one line per figure as name=value words:
//
//   program_bench [IDLE_SECONDS [STARTS [RUNS [ACCURACY_RUNS]]]]   defaults 600, 7, 5 and 20
//
// With BENCH_PROGRAM_ONLY=accuracy in the environment only the spaced 64-server run and the
// accuracy runs on loopback are made; with BENCH_PROGRAM_ONLY naming a case through the delay
// line (line_...), only that case, which the script runs inside the line's client namespace
// with the servers on 198.19.0.2 ... 198.19.0.5. BENCH_THETA_FILE names the file (a Linux
// path) from which the accuracy servers read their offset at each connection.
//
// chronoplex.exe and minimal_dialog.exe are looked for beside this program. The line
// "idle-begin" comes, flushed, just before the idle interval starts and "idle-end" just after
// it, so that the script can read the wineserver's CPU over the same interval. Every part
// ends with a line "part=NAME seconds=S": how long it took.
#include <windows.h>
#include <psapi.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "bench/minimal_dialog.h"
#include "bench/seconds.h"
#include "servers/server_record.h"

namespace {

constexpr const char* SETTINGS = "SOFTWARE\\Chronoplex";
constexpr const char* TITLE = "Chronoplex v2.1";
constexpr int SERVER_LIST_ID = 1002;
constexpr int SERVER_COUNT = 64;
constexpr int ID_EXIT = 40006;
constexpr DWORD HOURLY = 4;
constexpr DWORD WINDOW_LIMIT_MS = 30000;
constexpr DWORD RUN_LIMIT_MS = 120000;
constexpr int MAX_REPEATS = 64;
// Servers of a known offset for the accuracy figure: loopback_time_server's time service,
// which sends the whole seconds of this machine's clock plus the offset the driver gives it,
// on 127.0.11.2 ... 127.0.11.5, and the same behind 25 ms delays on 127.0.11.6 ... 127.0.11.9.
constexpr int ACCURACY_SERVERS = 4;
// The unit of utime and stime in /proc/PID/stat: USER_HZ, 100 on x86 Linux.
constexpr double LINUX_TICKS_PER_SECOND = 100;
// The Linux command name of a process: its file name, cut to this many characters.
constexpr size_t LINUX_COMMAND_LENGTH = 15;

struct Target {
    const char* label; // the word the figures carry
    const char* file;  // beside this program
    const char* title;
    int childId; // a control that only this window has
};

const Target PROGRAM = {"chronoplex", "chronoplex.exe", TITLE, SERVER_LIST_ID};
const Target MINIMAL = {"minimal_dialog", "minimal_dialog.exe", MINIMAL_TITLE, IDC_MINIMAL_TEXT};

uint64_t FileTimeValue(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// ---- CPU, from Linux ----
// Asked about another process, Wine 8's GetProcessTimes reports far less than the process
// used (nothing at all over ten idle minutes). But every program under Wine is a Linux
// process, and its CPU is in /proc/PID/stat, which Wine shows as a file on drive Z:. A figure
// that cannot be read from there is reported as not available, never as zero.

char procText[1 << 16]; // a process's environment can be long

// Reads a file of /proc whole into procText (its size shows as 0, so it is read to the end)
// and ends it with a zero; returns its length, or -1.
int ReadProcFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DWORD length = 0, got = 0;
    while (length < sizeof procText - 1 &&
           ReadFile(file, procText + length, sizeof procText - 1 - length, &got, nullptr) &&
           got > 0) {
        length += got;
    }
    CloseHandle(file);
    procText[length] = 0;
    return static_cast<int>(length);
}

// Whether the NUL-separated environment in procText, LENGTH bytes, holds ENTRY.
bool HasEnvironmentEntry(int length, const char* entry) {
    for (int at = 0; at < length; at += static_cast<int>(strlen(procText + at)) + 1) {
        if (strcmp(procText + at, entry) == 0) {
            return true;
        }
    }
    return false;
}

// The Linux process that runs FILE in this prefix, or 0. The same program may run in other
// prefixes at the same time (other suites on this machine); the prefix named in the process's
// environment tells ours.
unsigned long LinuxProcess(const char* file) {
    char entry[MAX_PATH + 16] = "WINEPREFIX=";
    const size_t used = strlen(entry);
    const DWORD prefixLength = GetEnvironmentVariableA("WINEPREFIX", entry + used,
                                                       static_cast<DWORD>(sizeof entry - used));
    if (prefixLength == 0 || prefixLength >= sizeof entry - used) {
        return 0;
    }
    char command[LINUX_COMMAND_LENGTH + 2];
    snprintf(command, sizeof command, "%.*s\n", static_cast<int>(LINUX_COMMAND_LENGTH), file);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    unsigned long pid = 0;
    do {
        char* end = nullptr;
        const unsigned long candidate = strtoul(found.cFileName, &end, 10);
        if (end == found.cFileName || *end != 0) {
            continue;
        }
        char path[64];
        snprintf(path, sizeof path, "Z:\\proc\\%lu\\comm", candidate);
        if (ReadProcFile(path) < 0 || strcmp(procText, command) != 0) {
            continue;
        }
        snprintf(path, sizeof path, "Z:\\proc\\%lu\\environ", candidate);
        const int length = ReadProcFile(path);
        if (length > 0 && HasEnvironmentEntry(length, entry)) {
            pid = candidate;
        }
    } while (pid == 0 && FindNextFileA(search, &found));
    FindClose(search);
    return pid;
}

// User and system time of a Linux process in clock ticks (USER_HZ); -1 when unknown. Kept in
// whole ticks: the 32-bit build computes doubles on the x87 unit, which keeps one operand at
// 80 bits and the other rounded to 64, so two equal readings in seconds could differ by a
// hair below zero, and every idle figure came out "not available".
int64_t LinuxCpuTicks(unsigned long pid) {
    char path[64];
    snprintf(path, sizeof path, "Z:\\proc\\%lu\\stat", pid);
    if (pid == 0 || ReadProcFile(path) <= 0) {
        return -1;
    }
    // The command name, field 2, is in parentheses and may hold blanks; after it the fields are
    // separated by single blanks, and the 12th blank comes just before utime, field 14, which
    // stime follows.
    const char* at = strrchr(procText, ')');
    for (int blank = 0; at != nullptr && blank < 12; blank++) {
        at = strchr(at + 1, ' ');
    }
    if (at == nullptr) {
        return -1;
    }
    char* userEnd = nullptr;
    char* systemEnd = nullptr;
    const unsigned long long userTicks = strtoull(at, &userEnd, 10);
    const unsigned long long systemTicks = strtoull(userEnd, &systemEnd, 10);
    if (userEnd == at || systemEnd == userEnd) {
        return -1;
    }
    return static_cast<int64_t>(userTicks + systemTicks);
}

// A process's CPU in seconds from one moment to another; either reading may fail.
double CpuSpent(int64_t before, int64_t after) {
    return before < 0 || after < before
               ? -1
               : static_cast<double>(after - before) / LINUX_TICKS_PER_SECOND;
}

// How often the threads of a Linux process have gone to sleep, and so been woken: the sum of
// their voluntary context switches; -1 when unknown. Under Wine an idle program's CPU is too
// small to show a timer that wakes it, but each wake-up counts here.
int64_t LinuxWakeUps(unsigned long pid) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "Z:\\proc\\%lu\\task\\*", pid);
    WIN32_FIND_DATAA found;
    HANDLE search = pid == 0 ? INVALID_HANDLE_VALUE : FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int64_t sum = 0;
    int threads = 0;
    do {
        char path[96];
        snprintf(path, sizeof path, "Z:\\proc\\%lu\\task\\%s\\status", pid, found.cFileName);
        const char* field = nullptr;
        if (found.cFileName[0] != '.' && ReadProcFile(path) > 0 &&
            (field = strstr(procText, "\nvoluntary_ctxt_switches:")) != nullptr) {
            sum += strtoll(field + strlen("\nvoluntary_ctxt_switches:"), nullptr, 10);
            threads++;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return threads > 0 ? sum : -1;
}

// name=VALUE with the precision given, or name=n/a for a figure that could not be measured.
void PrintFigure(const char* name, double value, int decimals) {
    if (value < 0) {
        printf("%s=n/a", name);
    } else {
        printf("%s=%.*f", name, decimals, value);
    }
}

double PeakWorkingSetKiB(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        return 0;
    }
    return static_cast<double>(counters.PeakWorkingSetSize) / 1024;
}

// Milliseconds since 1900, the program's own clock reading.
int64_t NowMs1900() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>(FileTimeValue(now) / 10000) - 9435484800000;
}

// ---- the settings key ----

void WriteValue(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, SETTINGS, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
}

void DeleteValue(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

void WriteSpacing(DWORD ms) {
    WriteValue("SampleSpacing", REG_DWORD, &ms, sizeof ms);
}

void WriteOffset(int64_t ms) {
    WriteValue("Offset", REG_BINARY, &ms, sizeof ms);
}

// An enabled server with no outcome yet in SLOT.
void StoreServer(int slot, const char* name) {
    ServerRecord s = {};
    snprintf(s.name, sizeof s.name, "%s", name);
    s.enabled = 1;
    char value[16];
    snprintf(value, sizeof value, "Server%03d", slot);
    WriteValue(value, REG_BINARY, &s, sizeof s);
}

bool ReadInt64(HKEY key, const char* name, int64_t* out) {
    DWORD size = sizeof *out;
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size) ==
               ERROR_SUCCESS &&
           size == sizeof *out;
}

// What a finished run left behind: whether the last correction is stored and its value, how
// many of the stored servers carry an outcome, and how many of those are answers.
struct RunResult {
    bool corrected;
    int64_t correction;
    int final;
    int answered;
};

RunResult StoredRun(HKEY key, int servers) {
    RunResult r = {};
    int64_t time = 0;
    r.corrected = ReadInt64(key, "LastCorrectionValue", &r.correction) &&
                  ReadInt64(key, "LastCorrectionTime", &time);
    if (!r.corrected) {
        return r;
    }
    for (int slot = 0; slot < servers; slot++) {
        char name[16];
        snprintf(name, sizeof name, "Server%03d", slot);
        ServerRecord s = {};
        DWORD size = sizeof s;
        if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&s), &size) !=
                ERROR_SUCCESS ||
            size != sizeof s || s.status == None) {
            continue;
        }
        r.final++;
        r.answered += s.status == Used || s.status == Rejected;
    }
    return r;
}

// ---- processes and windows ----

struct Started {
    HANDLE process;
    double startedAt; // just before the process was asked for
};

Started Start(const Target& target, const char* letters) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = strrchr(path, '\\');
    snprintf(slash + 1, sizeof path - static_cast<size_t>(slash + 1 - path), "%s", target.file);
    char commandLine[MAX_PATH + 16];
    snprintf(commandLine, sizeof commandLine, "\"%s\"%s%s", path, letters[0] ? " " : "", letters);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    Started s = {nullptr, Seconds()};
    if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        printf("error=cannot-start file=%s code=%lu\n", path,
               static_cast<unsigned long>(GetLastError()));
        exit(1);
    }
    CloseHandle(info.hThread);
    s.process = info.hProcess;
    return s;
}

HWND FindDialog(const Target& target) {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "#32770", target.title)) != nullptr) {
        if (GetDlgItem(w, target.childId) != nullptr) {
            return w;
        }
    }
    return nullptr;
}

// Looks for the window every millisecond or so: the finer the look, the more the looking
// itself competes with the start-up it times, and both programs pay the same.
HWND AwaitDialog(const Target& target, HANDLE process) {
    const double limit = Seconds() + WINDOW_LIMIT_MS / 1000.0;
    HWND w = nullptr;
    while ((w = FindDialog(target)) == nullptr) {
        if (Seconds() > limit || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            printf("error=no-window program=%s\n", target.label);
            exit(1);
        }
        Sleep(1);
    }
    return w;
}

void Stop(const Target& target, HANDLE process) {
    HWND w = FindDialog(target);
    if (w != nullptr) {
        DWORD_PTR ignored = 0;
        const WPARAM command = &target == &PROGRAM ? ID_EXIT : IDCANCEL;
        SendMessageTimeoutA(w, WM_COMMAND, command, 0, SMTO_NORMAL, 5000, &ignored);
    }
    if (WaitForSingleObject(process, 15000) != WAIT_OBJECT_0) {
        printf("warning=did-not-end program=%s\n", target.label);
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
}

// ---- summaries ----

struct Series {
    double values[MAX_REPEATS];
    int count;
    bool unknown; // a value could not be measured: the series has no figure
};

void Add(Series& s, double v) {
    if (v < 0) {
        s.unknown = true;
    } else if (s.count < MAX_REPEATS) {
        s.values[s.count++] = v;
    }
}

void Sort(Series& s) {
    for (int a = 0; a < s.count; a++) {
        for (int b = a + 1; b < s.count; b++) {
            if (s.values[b] < s.values[a]) {
                const double t = s.values[a];
                s.values[a] = s.values[b];
                s.values[b] = t;
            }
        }
    }
}

// min, median (the lower of the middle two for an even count) and max.
void PrintSeries(const char* name, Series s) {
    Sort(s);
    if (s.unknown || s.count == 0) {
        printf("%s=n/a", name);
        return;
    }
    printf("%s_min=%.1f %s_median=%.1f %s_max=%.1f", name, s.values[0], name,
           s.values[(s.count - 1) / 2], name, s.values[s.count - 1]);
}

// Ends a part of the benchmark with the time it took.
void EndPart(const char* name, double startedAt) {
    printf("part=%s seconds=%.1f\n", name, Seconds() - startedAt);
    fflush(stdout);
}

// ---- the figures ----

// Start-up until the dialog exists, and the peak working set once it has settled; the two
// programs take turns, so that whatever else the machine does falls on both alike.
void StartUps(int starts) {
    const Target* targets[2] = {&PROGRAM, &MINIMAL};
    Series wall[2] = {};
    Series peak[2] = {};
    // The first start of each pays for bringing the files into memory; it does not count.
    for (int round = -1; round < starts; round++) {
        for (int t = 0; t < 2; t++) {
            const Started s = Start(*targets[t], "");
            AwaitDialog(*targets[t], s.process);
            const double ms = (Seconds() - s.startedAt) * 1000;
            WaitForInputIdle(s.process, 5000);
            Sleep(500);
            if (round >= 0) {
                Add(wall[t], ms);
                Add(peak[t], PeakWorkingSetKiB(s.process));
            }
            Stop(*targets[t], s.process);
        }
    }
    for (int t = 0; t < 2; t++) {
        printf("figure=startup program=%s runs=%d ", targets[t]->label, wall[t].count);
        PrintSeries("ms", wall[t]);
        printf("\nfigure=peak_ws_startup program=%s runs=%d ", targets[t]->label, peak[t].count);
        PrintSeries("kib", peak[t]);
        printf("\n");
    }
    fflush(stdout);
}

// The program alone again, with an hourly schedule stored: a start with a schedule checks its
// logon task, and only once its window is up, so the time to the window is the same as
// without one. Before that check was posted, the start registered the task before its window.
void ScheduledStartUps(int starts) {
    const DWORD schedule = HOURLY;
    WriteValue("Schedule", REG_DWORD, &schedule, sizeof schedule);
    Series wall = {};
    for (int round = -1; round < starts; round++) {
        const Started s = Start(PROGRAM, "");
        AwaitDialog(PROGRAM, s.process);
        const double ms = (Seconds() - s.startedAt) * 1000;
        WaitForInputIdle(s.process, 5000);
        Sleep(500);
        if (round >= 0) {
            Add(wall, ms);
        }
        Stop(PROGRAM, s.process);
    }
    DeleteValue("Schedule");
    printf("figure=startup_scheduled program=%s runs=%d ", PROGRAM.label, wall.count);
    PrintSeries("ms", wall);
    printf("\n");
    fflush(stdout);
}

// The program started and settled, with its Linux process for the CPU figures.
struct Running {
    Started started;
    HWND dialog;
    unsigned long pid;
};

Running StartSettled(const char* letters) {
    Running r = {Start(PROGRAM, letters), nullptr, 0};
    r.dialog = AwaitDialog(PROGRAM, r.started.process);
    WaitForInputIdle(r.started.process, 5000);
    Sleep(1000);
    r.pid = LinuxProcess(PROGRAM.file);
    return r;
}

// One correction run: the command as the button sends it, then the wait for the stored
// result and an outcome for each of the first SERVERS slots, woken by every change of the
// settings key.
struct RunFigures {
    double ms;
    double cpuMs; // -1: not measured
    RunResult result;
};

RunFigures CorrectionRun(const Running& program, int servers) {
    DeleteValue("LastCorrectionValue");
    DeleteValue("LastCorrectionTime");
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ | KEY_NOTIFY, &key);
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    RunFigures f = {};
    const int64_t cpu0 = LinuxCpuTicks(program.pid);
    const double t0 = Seconds();
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(program.dialog, WM_COMMAND, IDOK, 0, SMTO_NORMAL, 5000, &ignored);
    for (;;) {
        // Armed before looking, so that a change between the look and the wait still wakes us.
        RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
        f.result = StoredRun(key, servers);
        if (f.result.corrected && f.result.final == servers) {
            break;
        }
        if (Seconds() - t0 > RUN_LIMIT_MS / 1000.0) {
            break;
        }
        WaitForSingleObject(changed, 50);
    }
    f.ms = (Seconds() - t0) * 1000;
    const double cpu = CpuSpent(cpu0, LinuxCpuTicks(program.pid));
    f.cpuMs = cpu < 0 ? -1 : cpu * 1000;
    CloseHandle(changed);
    RegCloseKey(key);
    return f;
}

void PrintRun(const char* figure, const RunFigures& f) {
    printf("figure=%s program=chronoplex ms=%.1f ", figure, f.ms);
    PrintFigure("cpu_ms", f.cpuMs, 0);
    printf(" stored=%d final=%d answered=%d\n", f.result.corrected ? 1 : 0, f.result.final,
           f.result.answered);
}

// With the older timing ("WholeSecondEstimate" 1), whose samples follow one another without an
// aim, so that these figures compare with those taken before the precise estimate.
void CorrectionRuns(int runs) {
    DeleteValue("Schedule");
    const DWORD one = 1;
    WriteValue("WholeSecondEstimate", REG_DWORD, &one, sizeof one);
    const Running program = StartSettled("");
    // The first run of a process pays for loading the socket code; it is shown on its own.
    const RunFigures first = CorrectionRun(program, SERVER_COUNT);
    PrintRun("correction_first", first);
    if (!first.result.corrected) {
        // No stored result means no usable server; more runs would only wait out the limit.
        printf("error=no-stored-result final=%d answered=%d\n", first.result.final,
               first.result.answered);
        runs = 0;
    }
    Series wall = {};
    Series cpu = {};
    int fewestFinal = SERVER_COUNT, fewestAnswered = SERVER_COUNT, stored = 0;
    for (int r = 0; r < runs; r++) {
        Sleep(500);
        const RunFigures f = CorrectionRun(program, SERVER_COUNT);
        Add(wall, f.ms);
        Add(cpu, f.cpuMs);
        stored += f.result.corrected;
        fewestFinal = f.result.final < fewestFinal ? f.result.final : fewestFinal;
        fewestAnswered = f.result.answered < fewestAnswered ? f.result.answered : fewestAnswered;
    }
    printf("figure=correction program=chronoplex runs=%d stored=%d final=%d answered=%d ", runs,
           stored, fewestFinal, fewestAnswered);
    PrintSeries("ms", wall);
    printf(" ");
    PrintSeries("cpu_ms", cpu);
    printf("\nfigure=peak_ws_run program=chronoplex kib=%.0f\n",
           PeakWorkingSetKiB(program.started.process));
    fflush(stdout);
    Stop(PROGRAM, program.started.process);
    DeleteValue("WholeSecondEstimate");
}

// One 64-server run with the samples spaced as the program spaces them by default ("Sample
// Spacing" missing), in a program started for it: the value is read as the program sees fit.
void DefaultSpacingRun() {
    DeleteValue("SampleSpacing");
    const Running program = StartSettled("");
    PrintRun("correction_default_spacing", CorrectionRun(program, SERVER_COUNT));
    fflush(stdout);
    Stop(PROGRAM, program.started.process);
    WriteSpacing(0);
}

void PrintWakeUps(int64_t before, int64_t after, double seconds) {
    const bool known = before >= 0 && after >= before;
    PrintFigure("wakeups", known ? static_cast<double>(after - before) : -1, 0);
    printf(" ");
    PrintFigure("wakeups_per_hour",
                known ? static_cast<double>(after - before) * 3600 / seconds : -1, 0);
}

// Hidden in the notification area with an hourly schedule whose next run lies an hour ahead,
// next to the minimal dialog sitting on the desktop, over the same interval.
void Idle(int seconds) {
    const DWORD schedule = HOURLY;
    WriteValue("Schedule", REG_DWORD, &schedule, sizeof schedule);
    const int64_t last = NowMs1900();
    const int64_t zero = 0;
    WriteValue("LastCorrectionTime", REG_BINARY, &last, sizeof last);
    WriteValue("LastCorrectionValue", REG_BINARY, &zero, sizeof zero);
    const Started program = Start(PROGRAM, "s");
    HWND dialog = AwaitDialog(PROGRAM, program.process);
    const Started minimal = Start(MINIMAL, "");
    AwaitDialog(MINIMAL, minimal.process);
    WaitForInputIdle(program.process, 5000);
    WaitForInputIdle(minimal.process, 5000);
    Sleep(3000);
    const unsigned long programPid = LinuxProcess(PROGRAM.file);
    const unsigned long minimalPid = LinuxProcess(MINIMAL.file);

    printf("idle-begin\n");
    fflush(stdout);
    const int64_t programCpu0 = LinuxCpuTicks(programPid);
    const int64_t minimalCpu0 = LinuxCpuTicks(minimalPid);
    const int64_t programWakeUps0 = LinuxWakeUps(programPid);
    const int64_t minimalWakeUps0 = LinuxWakeUps(minimalPid);
    const double t0 = Seconds();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double programCpu = CpuSpent(programCpu0, LinuxCpuTicks(programPid));
    const double minimalCpu = CpuSpent(minimalCpu0, LinuxCpuTicks(minimalPid));
    const int64_t programWakeUps1 = LinuxWakeUps(programPid);
    const int64_t minimalWakeUps1 = LinuxWakeUps(minimalPid);
    const double elapsed = Seconds() - t0;
    printf("idle-end\n");
    fflush(stdout);

    HKEY key = nullptr;
    int64_t stillLast = 0;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ, &key);
    const bool untouched = ReadInt64(key, "LastCorrectionTime", &stillLast) && stillLast == last;
    RegCloseKey(key);
    const bool alive = WaitForSingleObject(program.process, 0) == WAIT_TIMEOUT;
    printf("figure=idle program=chronoplex seconds=%.1f ", elapsed);
    PrintFigure("cpu_s", programCpu, 2);
    printf(" ");
    PrintFigure("per_hour_s", programCpu < 0 ? -1 : programCpu * 3600 / elapsed, 2);
    printf(" ");
    PrintWakeUps(programWakeUps0, programWakeUps1, elapsed);
    printf(" hidden=%d alive=%d no_run=%d\n", IsWindowVisible(dialog) ? 0 : 1, alive ? 1 : 0,
           untouched ? 1 : 0);
    printf("figure=idle program=minimal_dialog seconds=%.1f ", elapsed);
    PrintFigure("cpu_s", minimalCpu, 2);
    printf(" ");
    PrintFigure("per_hour_s", minimalCpu < 0 ? -1 : minimalCpu * 3600 / elapsed, 2);
    printf(" ");
    PrintWakeUps(minimalWakeUps0, minimalWakeUps1, elapsed);
    printf("\n");
    fflush(stdout);
    Stop(MINIMAL, minimal.process);
    Stop(PROGRAM, program.process);
    DeleteValue("Schedule");
}

// ---- accuracy ----

// A Time server sends whole seconds. The figure: |correction - theta| of each run against
// servers whose right correction is theta, drawn anew for each run in (-5 s, +5 s) with a
// fraction and handed to them through a file they read at each connection. Each case runs
// with the precise estimate and beside it with the older arithmetic ("WholeSecondEstimate" 1).
// Under Wine the program's clock is this machine's, and the program never moves it (Wine
// takes a change under 0.5 s as done and refuses a larger one), so theta stays the truth;
// "LastCorrectionValue" is stored either way.
struct AccuracyCase {
    const char* label;
    int servers;
    int firstHost;       // network.firstHost onwards
    bool defaultSpacing; // "SampleSpacing" missing, else 0
    int runsDivisor;     // runs = ACCURACY_RUNS / runsDivisor
    const char* network; // the first three parts of the servers' addresses
};

constexpr const char* LOOPBACK = "127.0.11";
// Behind tools/bench-program's delay line, whose delays and servers each case names: up and
// down in ms, and whether the last of the four rounds its answer.
constexpr const char* LINE = "198.19.0";

const AccuracyCase ACCURACY_CASES[] = {
    {"one_server_spacing0", 1, 2, false, 1, LOOPBACK},
    {"four_servers_spacing0", 4, 2, false, 1, LOOPBACK},
    {"four_delayed_servers_spacing0", 4, 6, false, 1, LOOPBACK},
    {"four_servers_default_spacing", 4, 2, true, 2, LOOPBACK},
    {"line_10_10", 4, 2, false, 2, LINE},
    {"line_30_30", 4, 2, false, 2, LINE},
    {"line_5_25", 4, 2, false, 2, LINE},
    {"line_30_30_one_rounds", 4, 2, false, 2, LINE},
};

// Waits until the clock, which the program's samples read, is PHASE ms into its second.
void AwaitPhase(int phaseMs) {
    const int64_t into = NowMs1900() % 1000;
    Sleep(static_cast<DWORD>((phaseMs - into + 1000) % 1000));
}

// The case's servers take the first slots; the other slots are freed.
void StoreAccuracyServers(const AccuracyCase& c) {
    for (int slot = 0; slot < SERVER_COUNT; slot++) {
        if (slot < c.servers) {
            char address[16];
            snprintf(address, sizeof address, "%s.%d", c.network, c.firstHost + slot);
            StoreServer(slot, address);
        } else {
            char value[16];
            snprintf(value, sizeof value, "Server%03d", slot);
            DeleteValue(value);
        }
    }
}

// The offset the servers add, in seconds with a fraction; false when it cannot be written.
bool WriteTheta(double thetaMs) {
    const char* file = getenv("BENCH_THETA_FILE");
    if (file == nullptr) {
        return false;
    }
    char path[MAX_PATH];
    snprintf(path, sizeof path, "Z:%s", file);
    for (char* c = path; *c != 0; c++) {
        *c = *c == '/' ? '\\' : *c;
    }
    FILE* out = fopen(path, "w");
    if (out == nullptr) {
        return false;
    }
    fprintf(out, "%.6f\n", thetaMs / 1000);
    fclose(out);
    return true;
}

// The nearest-rank percentile of a sorted series.
double Percentile(const Series& sorted, int percent) {
    int rank = (sorted.count * percent + 99) / 100;
    rank = rank < 1 ? 1 : rank;
    return sorted.values[rank - 1];
}

void Accuracy(const AccuracyCase& c, bool wholeSecond, int runs, uint32_t* seed) {
    const double started = Seconds();
    StoreAccuracyServers(c);
    if (c.defaultSpacing) {
        DeleteValue("SampleSpacing");
    } else {
        WriteSpacing(0);
    }
    if (wholeSecond) {
        const DWORD one = 1;
        WriteValue("WholeSecondEstimate", REG_DWORD, &one, sizeof one);
    } else {
        DeleteValue("WholeSecondEstimate");
    }
    const Running program = StartSettled("");
    Series errors = {};
    Series wall = {};
    double signedSum = 0;
    int stored = 0, fewestAnswered = c.servers;
    for (int r = 0; r < runs; r++) {
        // A fixed sequence, so that both estimates meet the same offsets.
        *seed = *seed * 1103515245u + 12345u;
        const double theta = -5000 + 10000 * ((*seed >> 8) % 10000000) / 10000000.0;
        if (!WriteTheta(theta)) {
            printf("error=no-theta-file\n");
            break;
        }
        AwaitPhase(r * 1000 / runs);
        const RunFigures f = CorrectionRun(program, c.servers);
        Add(wall, f.ms);
        fewestAnswered = f.result.answered < fewestAnswered ? f.result.answered : fewestAnswered;
        if (!f.result.corrected) {
            continue;
        }
        const double error = static_cast<double>(f.result.correction) - theta;
        signedSum += error;
        Add(errors, std::fabs(error));
        stored++;
    }
    printf("figure=accuracy case=%s estimate=%s servers=%d runs=%d stored=%d answered=%d ", c.label,
           wholeSecond ? "whole_second" : "precise", c.servers, runs, stored, fewestAnswered);
    Sort(errors);
    if (stored > 0) {
        double sum = 0;
        for (int i = 0; i < errors.count; i++) {
            sum += errors.values[i];
        }
        printf("mean=%.1f p95=%.1f max=%.1f bias=%.1f ", sum / errors.count, Percentile(errors, 95),
               errors.values[errors.count - 1], signedSum / stored);
    } else {
        printf("mean=n/a ");
    }
    PrintSeries("ms", wall);
    printf(" seconds=%.1f\n", Seconds() - started);
    fflush(stdout);
    Stop(PROGRAM, program.started.process);
}

int Argument(int argc, char** argv, int index, int fallback, int low, int high) {
    if (argc <= index) {
        return fallback;
    }
    char* end = nullptr;
    const long v = strtol(argv[index], &end, 10);
    if (end == argv[index] || *end != 0) {
        return fallback;
    }
    return v < low ? low : v > high ? high : static_cast<int>(v);
}

} // namespace

int main(int argc, char** argv) {
    const int idleSeconds = Argument(argc, argv, 1, 600, 1, 86400);
    const int starts = Argument(argc, argv, 2, 7, 1, MAX_REPEATS);
    const int runs = Argument(argc, argv, 3, 5, 1, MAX_REPEATS);
    const int accuracyRuns = Argument(argc, argv, 4, 20, 1, MAX_REPEATS);
    const char* only = getenv("BENCH_PROGRAM_ONLY");
    const bool lineCase = only != nullptr && strncmp(only, "line_", 5) == 0;
    const bool accuracyOnly = lineCase || (only != nullptr && strcmp(only, "accuracy") == 0);
    double t = Seconds();
    if (!accuracyOnly) {
        StartUps(starts);
        ScheduledStartUps(starts);
        EndPart("startups", t);
        t = Seconds();
        CorrectionRuns(runs);
        EndPart("correction_runs", t);
        t = Seconds();
    }
    if (!lineCase) {
        DefaultSpacingRun();
        EndPart("default_spacing_run", t);
        t = Seconds();
    }
    if (!accuracyOnly) {
        Idle(idleSeconds);
        EndPart("idle", t);
        t = Seconds();
    }
    WriteOffset(0);
    uint32_t seed = 868;
    printf("figure=accuracy_seed seed=%u\n", seed);
    // Every case meets the same offsets whichever cases a run makes.
    for (const AccuracyCase& c : ACCURACY_CASES) {
        const bool wanted = lineCase ? strcmp(only, c.label) == 0 : c.network == LOOPBACK;
        const int caseRuns = accuracyRuns / c.runsDivisor > 0 ? accuracyRuns / c.runsDivisor : 1;
        for (const bool wholeSecond : {false, true}) {
            uint32_t caseSeed = seed;
            if (wanted) {
                Accuracy(c, wholeSecond, caseRuns, &caseSeed);
            }
        }
        seed = seed * 2654435761u + 1;
    }
    DeleteValue("WholeSecondEstimate");
    WriteSpacing(0);
    EndPart(lineCase ? only : "accuracy", t);
    return 0;
}
