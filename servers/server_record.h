// One server slot as it is kept between runs. The record is stored byte for byte as a
// registry value, so its layout is a file format: do not reorder or resize fields.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SERVER_NAME_SIZE = 128;
constexpr uint32_t SERVER_RECORD_SIZE = 152;

// Outcome of a server's last query.
enum ServerStatus : int32_t {
    None = 0,
    WinsockError = 1,
    NoResponse = 2,
    SlowResponse = 3,
    Refused = 4,
    NetIsDown = 5,
    NoDnsEntry = 6,
    Disabled = 7,
    Interrupted = 8,
    Rejected = 100,
    Tested = 101,
    Used = 102,
};

struct ServerRecord {
    char name[SERVER_NAME_SIZE]; // host name or dotted address; free slot when name[0] == 0
    int32_t enabled;             // 1: takes part in correction runs
    int32_t status;              // a ServerStatus
    uint32_t latency;            // ms, mean of the last answered query's seven samples
    uint8_t reserved[4];         // never read; carried through as loaded
    int64_t correction;          // ms to add to the local clock, local offset included
};

static_assert(sizeof(ServerRecord) == SERVER_RECORD_SIZE, "stored record size");
static_assert(offsetof(ServerRecord, name) == 0, "stored layout");
static_assert(offsetof(ServerRecord, enabled) == 128, "stored layout");
static_assert(offsetof(ServerRecord, status) == 132, "stored layout");
static_assert(offsetof(ServerRecord, latency) == 136, "stored layout");
static_assert(offsetof(ServerRecord, reserved) == 140, "stored layout");
static_assert(offsetof(ServerRecord, correction) == 144, "stored layout");

// The text of a failure or interruption (1-8), or null for any other code.
const char* StatusText(int32_t status);

// Classes of codes.
bool IsAnswered(int32_t status);           // latency and correction are valid: 100, 101, 102
bool IsKeptByPruning(int32_t status);      // 101, 102
bool IsCountedInConsensus(int32_t status); // 102
bool HasOutcome(int32_t status);           // anything but 0

inline bool IsFreeSlot(const ServerRecord& record) {
    return record.name[0] == 0;
}
