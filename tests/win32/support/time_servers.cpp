#include "tests/win32/support/time_servers.h"

#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "servers/settings.h"

namespace {

struct ServerThread {
    TimeServerSetup setup;
    SOCKET listener;
    HANDLE thread;
    volatile LONG accepted;
};

ServerThread servers[MAX_TIME_SERVERS];
int serverCount = 0;
volatile LONG stopRequested = 0;
DWORD stopTick = 0; // the servers' own end of life, on GetTickCount

// 100-ns intervals from 1601 to 1900.
constexpr uint64_t FILETIME_1900 = 94354848000000000ull;

void PutSeconds(char* out, uint32_t seconds) {
    out[0] = static_cast<char>(seconds >> 24);
    out[1] = static_cast<char>(seconds >> 16);
    out[2] = static_cast<char>(seconds >> 8);
    out[3] = static_cast<char>(seconds);
}

bool Expired() {
    return stopRequested != 0 || static_cast<LONG>(GetTickCount() - stopTick) >= 0;
}

// Waits in short steps so that a stop request or the end of life is noticed promptly; false
// when the wait ends for either reason or after limitMs without the socket becoming readable.
bool WaitReadable(SOCKET s, DWORD limitMs = INFINITE) {
    const DWORD start = GetTickCount();
    while (!Expired() && (limitMs == INFINITE || GetTickCount() - start < limitMs)) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval step = {0, 50000};
        int ready = select(0, &set, nullptr, nullptr, &step);
        if (ready > 0) {
            return true;
        }
        if (ready < 0) {
            return false;
        }
    }
    return false;
}

void Serve(const TimeServerSetup& setup, SOCKET client) {
    char answer[8] = {};
    const uint32_t seconds =
        SecondsSince1900Now() + static_cast<uint32_t>(static_cast<int64_t>(setup.offsetSeconds));
    switch (setup.behaviour) {
    case ServeTime:
        PutSeconds(answer, seconds);
        send(client, answer, 4, 0);
        break;
    case ServeClose:
        break;
    case ServeSplit:
        PutSeconds(answer, seconds);
        send(client, answer, 2, 0);
        // The rest follows only once the client has had every chance to read the first half
        // on its own: when it closes, or after the pause, however slow the machine is.
        if (!WaitReadable(client, SPLIT_PAUSE_MS)) {
            send(client, answer + 2, 2, 0);
        }
        break;
    case ServeZero:
        send(client, answer, 4, 0);
        break;
    case ServeEight:
        PutSeconds(answer, seconds);
        send(client, answer, 8, 0);
        break;
    case ServeSilent:
        // Until the client closes (readable with 0 bytes) or the servers stop.
        while (WaitReadable(client)) {
            char sink[16];
            if (recv(client, sink, sizeof sink, 0) <= 0) {
                break;
            }
        }
        break;
    }
    closesocket(client);
}

DWORD WINAPI ServerMain(void* context) {
    ServerThread& server = *static_cast<ServerThread*>(context);
    while (WaitReadable(server.listener)) {
        SOCKET client = accept(server.listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        InterlockedIncrement(&server.accepted);
        BOOL on = TRUE;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        Serve(server.setup, client);
    }
    return 0;
}

SOCKET Listen(const char* address) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return s;
    }
    // The servers close first, so their ends of earlier connections linger in TIME_WAIT on
    // the same address and port; without this the next suite's server could not bind.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(37);
    local.sin_addr.s_addr = inet_addr(address);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(s, SOMAXCONN) != 0) {
        fprintf(stderr, "cannot listen on %s:37 (error %d)\n", address, WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

} // namespace

uint32_t SecondsSince1900Now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t now = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<uint32_t>((now - FILETIME_1900) / 10000000u);
}

bool StartTimeServers(const TimeServerSetup* setups, int count, DWORD lifetimeMs) {
    StopTimeServers();
    stopRequested = 0;
    stopTick = GetTickCount() + lifetimeMs;
    for (int i = 0; i < count && i < MAX_TIME_SERVERS; i++) {
        ServerThread& server = servers[i];
        server.setup = setups[i];
        server.accepted = 0;
        server.thread = nullptr;
        server.listener = Listen(setups[i].address);
        serverCount = i + 1;
        if (server.listener == INVALID_SOCKET) {
            StopTimeServers();
            return false;
        }
        server.thread = CreateThread(nullptr, 0, ServerMain, &server, 0, nullptr);
        if (server.thread == nullptr) {
            StopTimeServers();
            return false;
        }
    }
    return true;
}

void StopTimeServers() {
    stopRequested = 1;
    for (int i = 0; i < serverCount; i++) {
        ServerThread& server = servers[i];
        if (server.thread != nullptr) {
            WaitForSingleObject(server.thread, INFINITE);
            CloseHandle(server.thread);
            server.thread = nullptr;
        }
        if (server.listener != INVALID_SOCKET) {
            closesocket(server.listener);
            server.listener = INVALID_SOCKET;
        }
    }
    serverCount = 0;
}

int AcceptCount(int i) {
    return servers[i].accepted;
}

void StoreBackToBackSampling() {
    RegKey key = 0;
    if (PlatformRegCreateKey(SETTINGS_KEY, &key) == PLATFORM_ERROR_SUCCESS) {
        const uint32_t none = 0;
        PlatformRegSetValue(key, "SampleSpacing", REGISTRY_DWORD, &none, sizeof none);
        PlatformRegCloseKey(key);
    }
}
