// Whole-program figures: the real program measured from outside, as a user meets it, next to
// the plainest dialog program started the same way. Runs inside the Wine prefix that
// tools/bench-program prepares (the settings version and 64 servers on 127.0.9.2 onwards
// already stored) and prints one line per figure as name=value words:
//
//   program_bench [IDLE_SECONDS [STARTS [RUNS]]]   defaults 600, 7 and 5
//
// chronoplex.exe and minimal_dialog.exe are looked for beside this program. The line
// "idle-begin" comes, flushed, just before the idle interval starts and "idle-end" just after
// it, so that the script can read other processes' CPU over the same interval.
#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
constexpr int MAX_REPEATS = 32;

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

// User and kernel time of a process in seconds, in steps of 10 ms. Asked about another
// process, Wine 8 reports far less than the process used (nothing at all over ten idle
// minutes), so tools/bench-program also reads the program's Linux process from /proc.
double CpuSeconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return static_cast<double>(FileTimeValue(kernel) + FileTimeValue(user)) / 1e7;
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

bool ReadInt64(HKEY key, const char* name, int64_t* out) {
    DWORD size = sizeof *out;
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size) ==
               ERROR_SUCCESS &&
           size == sizeof *out;
}

// What a finished run left behind: whether the last correction is stored, and how many of
// the 64 records carry an outcome, and how many of those are answers.
struct RunResult {
    bool corrected;
    int final;
    int answered;
};

RunResult StoredRun(HKEY key) {
    RunResult r = {};
    int64_t time = 0, value = 0;
    r.corrected = ReadInt64(key, "LastCorrectionValue", &value) &&
                  ReadInt64(key, "LastCorrectionTime", &time);
    if (!r.corrected) {
        return r;
    }
    for (int slot = 0; slot < SERVER_COUNT; slot++) {
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
};

void Add(Series& s, double v) {
    if (s.count < MAX_REPEATS) {
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
    if (s.count == 0) {
        printf("%s=none", name);
        return;
    }
    printf("%s_min=%.1f %s_median=%.1f %s_max=%.1f", name, s.values[0], name,
           s.values[(s.count - 1) / 2], name, s.values[s.count - 1]);
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

// One correction run: the command as the button sends it, then the wait for the stored
// result, woken by every change of the settings key.
struct RunFigures {
    double ms;
    double cpuMs;
    RunResult result;
};

RunFigures CorrectionRun(HWND dialog, HANDLE process) {
    DeleteValue("LastCorrectionValue");
    DeleteValue("LastCorrectionTime");
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ | KEY_NOTIFY, &key);
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    RunFigures f = {};
    const double cpu0 = CpuSeconds(process);
    const double t0 = Seconds();
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(dialog, WM_COMMAND, IDOK, 0, SMTO_NORMAL, 5000, &ignored);
    for (;;) {
        // Armed before looking, so that a change between the look and the wait still wakes us.
        RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
        f.result = StoredRun(key);
        if (f.result.corrected && f.result.final == SERVER_COUNT) {
            break;
        }
        if (Seconds() - t0 > RUN_LIMIT_MS / 1000.0) {
            break;
        }
        WaitForSingleObject(changed, 50);
    }
    f.ms = (Seconds() - t0) * 1000;
    f.cpuMs = (CpuSeconds(process) - cpu0) * 1000;
    CloseHandle(changed);
    RegCloseKey(key);
    return f;
}

void PrintRun(const char* figure, const RunFigures& f) {
    printf("figure=%s program=chronoplex ms=%.1f cpu_ms=%.0f stored=%d final=%d answered=%d\n",
           figure, f.ms, f.cpuMs, f.result.corrected ? 1 : 0, f.result.final, f.result.answered);
}

void CorrectionRuns(int runs) {
    DeleteValue("Schedule");
    const Started s = Start(PROGRAM, "");
    HWND dialog = AwaitDialog(PROGRAM, s.process);
    WaitForInputIdle(s.process, 5000);
    Sleep(1000);
    // The first run of a process pays for loading the socket code; it is shown on its own.
    const RunFigures first = CorrectionRun(dialog, s.process);
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
        const RunFigures f = CorrectionRun(dialog, s.process);
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
    printf("\nfigure=peak_ws_run program=chronoplex kib=%.0f\n", PeakWorkingSetKiB(s.process));
    fflush(stdout);
    Stop(PROGRAM, s.process);
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

    printf("idle-begin\n");
    fflush(stdout);
    const double programCpu0 = CpuSeconds(program.process);
    const double minimalCpu0 = CpuSeconds(minimal.process);
    const double t0 = Seconds();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double programCpu = CpuSeconds(program.process) - programCpu0;
    const double minimalCpu = CpuSeconds(minimal.process) - minimalCpu0;
    const double elapsed = Seconds() - t0;
    printf("idle-end\n");
    fflush(stdout);

    HKEY key = nullptr;
    int64_t stillLast = 0;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ, &key);
    const bool untouched = ReadInt64(key, "LastCorrectionTime", &stillLast) && stillLast == last;
    RegCloseKey(key);
    const bool alive = WaitForSingleObject(program.process, 0) == WAIT_TIMEOUT;
    printf("figure=idle program=chronoplex seconds=%.1f cpu_s=%.2f per_hour_s=%.2f hidden=%d "
           "alive=%d no_run=%d\n",
           elapsed, programCpu, programCpu * 3600 / elapsed, IsWindowVisible(dialog) ? 0 : 1,
           alive ? 1 : 0, untouched ? 1 : 0);
    printf("figure=idle program=minimal_dialog seconds=%.1f cpu_s=%.2f per_hour_s=%.2f\n", elapsed,
           minimalCpu, minimalCpu * 3600 / elapsed);
    fflush(stdout);
    Stop(MINIMAL, minimal.process);
    Stop(PROGRAM, program.process);
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
    StartUps(starts);
    CorrectionRuns(runs);
    Idle(idleSeconds);
    return 0;
}
