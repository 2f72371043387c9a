// A correction run against Time servers that nobody here wrote: the built-in time services of
// three inetds on 127.0.3.x, started and stopped around this suite by tools/time-peers.
// openbsd-inetd and xinetd answer with exactly four bytes; inetutils-inetd sends eight (the
// seconds and four zero bytes), of which the one read must take the first four.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "query/correction.h"
#include "query/query.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/win32/support/engine_reset.h"
#include "tests/win32/support/pump.h"

namespace {

TEST(InetdPeers, CorrectionRunUsesEveryPeer) {
    const char* const peers[] = {"127.0.3.2", "127.0.3.3", "127.0.3.4", "127.0.3.5"};
    const int count = sizeof peers / sizeof peers[0];
    ResetEngine();
    for (int slot = 0; slot < count; slot++) {
        SetServer(slot, peers[slot]);
    }
    StartCorrectionRun();
    ASSERT_TRUE(PumpUntil([] { return !RunGoingOn(); }, 15000));
    int64_t sum = 0;
    for (int slot = 0; slot < count; slot++) {
        const ServerRecord& record = serverTable[slot];
        EXPECT_EQ(record.status, Used) << peers[slot];
        uint32_t largest = 0;
        for (uint32_t latency : querySessions[slot].sampleLatency) {
            largest = latency > largest ? latency : largest;
        }
        // Truncated seconds: up to a second plus the transit behind, half the latency added.
        EXPECT_GE(record.correction, -1000 - int64_t{largest / 2} - 2) << peers[slot];
        EXPECT_LE(record.correction, int64_t{largest / 2} + 2) << peers[slot];
        sum += record.correction;
    }
    EXPECT_EQ(lastCorrectionValue, sum / count);
    EXPECT_EQ(lastRunFailed, 0);
}

} // namespace
