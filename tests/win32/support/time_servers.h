// Loopback Time protocol servers on threads of the test program, one listening socket and
// one thread per address, all on port 37. Each serves its connections one at a time and
// stops by itself when its lifetime is over, if the test has not stopped it before.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

enum ServerBehaviour {
    ServeTime,   // the current time as 4 bytes, then close
    ServeClose,  // close without sending anything
    ServeSplit,  // 2 bytes, then the other 2 after a pause unless the client has closed
    ServeZero,   // four zero bytes
    ServeEight,  // the time as 4 bytes followed by four zero bytes, in one segment
    ServeSilent, // keep the connection open without sending until the client or the end goes
};

struct TimeServerSetup {
    const char* address; // dotted, in 127.0.0.0/8
    ServerBehaviour behaviour;
    int32_t offsetSeconds; // added to the time sent
};

constexpr int MAX_TIME_SERVERS = 64;
constexpr DWORD SPLIT_PAUSE_MS = 2000;

// Binds and starts every server; false (with the reason printed) if any cannot listen, in
// which case none is left running.
bool StartTimeServers(const TimeServerSetup* setups, int count, DWORD lifetimeMs);
// Stops every server and waits for its thread.
void StopTimeServers();
// Connections accepted so far by the server at index i of the last start.
int AcceptCount(int i);
// Stores "SampleSpacing" 0 in the program's settings: these servers are the suites' own, asked
// back to back so that a run takes a second instead of half a minute.
void StoreBackToBackSampling();
// Seconds since 1900 of the local clock, truncated as the protocol does.
uint32_t SecondsSince1900Now();
