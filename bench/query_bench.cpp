// How long a correction run takes on loopback, and how close it comes to the floor: the same
// connections made by the plainest client there is (blocking calls, a thread per server).
//
//   query_bench [COUNT...]   servers at 127.0.0.2 onwards; default 1 8 64
//
// Needs Time servers on those addresses (tools/bench-query starts them). Prints one line per
// count; latencies are those the engine measured (connection completed to answer handled).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/seconds.h"
#include "query/correction.h"
#include "query/query.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/win32/support/engine_reset.h"
#include "tests/win32/support/pump.h"

namespace {

constexpr DWORD RUN_LIMIT_MS = 60000;

// User and kernel time of the whole process, in 100 ns units; the platform advances it in
// steps of 10 ms.
uint64_t CpuTime() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto value = [](const FILETIME& ft) {
        return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    return value(kernel) + value(user);
}

double CpuMsSince(uint64_t start) {
    return static_cast<double>(CpuTime() - start) / 1e4;
}

void AddressText(int i, char* out, size_t size) {
    snprintf(out, size, "127.0.0.%d", 2 + i);
}

struct Figures {
    double wallMs;
    double cpuMs;
    double meanLatencyMs;
    double largestLatencyMs;
    int answered;  // servers with all seven answers
    double waitMs; // of the wall time, spent waiting for a message
    unsigned messages;
};

Figures EngineRun(int count) {
    ResetEngine();
    // The older timing too, whose samples follow one another without an aim, so that the
    // figures compare with those taken before the precise estimate.
    const uint32_t one = 1;
    WriteSetting("WholeSecondEstimate", &one, sizeof one);
    for (int i = 0; i < count; i++) {
        char name[16];
        AddressText(i, name, sizeof name);
        SetServer(i, name);
    }
    pumpStats = PumpStats{};
    const uint64_t cpu0 = CpuTime();
    const double t0 = Seconds();
    StartCorrectionRun();
    const bool over = PumpUntil([] { return !RunGoingOn(); }, RUN_LIMIT_MS);
    Figures f = {};
    f.wallMs = (Seconds() - t0) * 1000;
    f.cpuMs = CpuMsSince(cpu0);
    f.waitMs = pumpStats.waitMs;
    f.messages = pumpStats.messages;
    if (!over) {
        AbortAllQueries(Interrupted);
    }
    double sum = 0;
    int samples = 0;
    for (int i = 0; i < count; i++) {
        if (serverTable[i].status != Used && serverTable[i].status != Rejected) {
            continue;
        }
        f.answered++;
        for (uint32_t latency : querySessions[i].sampleLatency) {
            sum += latency;
            samples++;
            f.largestLatencyMs = latency > f.largestLatencyMs ? latency : f.largestLatencyMs;
        }
    }
    f.meanLatencyMs = samples ? sum / samples : 0;
    return f;
}

struct FloorServer {
    int index;
    double latencyMs[SAMPLE_COUNT];
    int answers;
};

// Threads are made before the clock starts and released together, so that the floor does
// not carry the cost of making them.
HANDLE floorGo = nullptr;

DWORD WINAPI FloorClient(void* context) {
    FloorServer& server = *static_cast<FloorServer*>(context);
    WaitForSingleObject(floorGo, INFINITE);
    char name[16];
    AddressText(server.index, name, sizeof name);
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(37);
    remote.sin_addr.s_addr = inet_addr(name);
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
            const double connected = Seconds();
            char answer[4];
            if (recv(s, answer, sizeof answer, 0) == 4) {
                server.latencyMs[server.answers++] = (Seconds() - connected) * 1000;
            }
        }
        closesocket(s);
    }
    return 0;
}

Figures FloorRun(int count) {
    static FloorServer servers[SERVER_SLOT_COUNT];
    HANDLE threads[SERVER_SLOT_COUNT];
    floorGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < count; i++) {
        servers[i] = FloorServer{i, {}, 0};
        threads[i] = CreateThread(nullptr, 0, FloorClient, &servers[i], 0, nullptr);
    }
    Sleep(50);
    const uint64_t cpu0 = CpuTime();
    const double t0 = Seconds();
    SetEvent(floorGo);
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);
    Figures f = {};
    f.wallMs = (Seconds() - t0) * 1000;
    f.cpuMs = CpuMsSince(cpu0);
    double sum = 0;
    int samples = 0;
    for (int i = 0; i < count; i++) {
        CloseHandle(threads[i]);
        f.answered += servers[i].answers == SAMPLE_COUNT;
        for (int k = 0; k < servers[i].answers; k++) {
            const double latency = servers[i].latencyMs[k];
            sum += latency;
            samples++;
            f.largestLatencyMs = latency > f.largestLatencyMs ? latency : f.largestLatencyMs;
        }
    }
    f.meanLatencyMs = samples ? sum / samples : 0;
    CloseHandle(floorGo);
    return f;
}

// The figures of several repetitions: the median wall time, the mean CPU time (the platform
// counts it in 10 ms steps), the mean latency and the largest latency over all of them, and
// the fewest servers answered.
struct Summary {
    double wallMs[16];
    int runs;
    double cpuMs;
    double latencySum;
    double largestLatencyMs;
    int fewestAnswered;
    double waitMs;
};

void Add(Summary& s, const Figures& f) {
    s.fewestAnswered = s.runs == 0 || f.answered < s.fewestAnswered ? f.answered : s.fewestAnswered;
    s.wallMs[s.runs++] = f.wallMs;
    s.cpuMs += f.cpuMs;
    s.waitMs += f.waitMs;
    s.latencySum += f.meanLatencyMs;
    s.largestLatencyMs =
        f.largestLatencyMs > s.largestLatencyMs ? f.largestLatencyMs : s.largestLatencyMs;
}

double MedianWall(Summary& s) {
    for (int a = 0; a < s.runs; a++) {
        for (int j = a + 1; j < s.runs; j++) {
            if (s.wallMs[j] < s.wallMs[a]) {
                const double t = s.wallMs[a];
                s.wallMs[a] = s.wallMs[j];
                s.wallMs[j] = t;
            }
        }
    }
    return s.wallMs[s.runs / 2];
}

void Print(const char* who, int count, Summary& s) {
    printf("%-7s %3d servers  %3d answered  wall %7.1f ms  cpu %6.1f ms  latency mean %5.2f ms "
           "max %5.1f ms",
           who, count, s.fewestAnswered, MedianWall(s), s.cpuMs / s.runs, s.latencySum / s.runs,
           s.largestLatencyMs);
    if (s.waitMs > 0) {
        printf("  idle %6.1f ms", s.waitMs / s.runs);
    }
    printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    StartTestPlatform();
    int counts[8] = {1, 8, 64};
    int countCount = 3;
    bool verbose = false;
    if (argc > 1) {
        countCount = 0;
        for (int i = 1; i < argc && countCount < 8; i++) {
            if (strcmp(argv[i], "-v") == 0) {
                verbose = true;
                continue;
            }
            const int n = atoi(argv[i]);
            if (n >= 1 && n <= SERVER_SLOT_COUNT) {
                counts[countCount++] = n;
            }
        }
    }
    const int repetitions = 5;
    printf("median of %d runs each, samples back to back (\"SampleSpacing\" 0, as the test "
           "suites store it, and \"WholeSecondEstimate\" 1: no aim); engine latency is from the "
           "handling of the connection notice to "
           "the handling of the answer, in whole ms\n",
           repetitions);
    // One run that is not counted, so that the first figures do not carry the cost of
    // loading the socket and registry code.
    EngineRun(1);
    for (int i = 0; i < countCount; i++) {
        const int n = counts[i];
        Summary engine = {};
        Summary floor = {};
        for (int r = 0; r < repetitions; r++) {
            const Figures e = EngineRun(n);
            const Figures f = FloorRun(n);
            if (verbose) {
                printf("  run %d: engine %.1f ms (cpu %.0f, waiting %.1f, %u messages, largest "
                       "latency %.0f), floor %.1f ms\n",
                       r, e.wallMs, e.cpuMs, e.waitMs, e.messages, e.largestLatencyMs, f.wallMs);
            }
            Add(engine, e);
            Add(floor, f);
        }
        const double engineWall = MedianWall(engine);
        const double floorWall = MedianWall(floor);
        Print("engine", n, engine);
        Print("floor", n, floor);
        printf("ratio   %3d servers  wall engine/floor %.2f\n", n,
               floorWall > 0 ? engineWall / floorWall : 0.0);
        fflush(stdout);
    }
    return 0;
}
