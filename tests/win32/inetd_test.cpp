// A correction run against Time servers that nobody here wrote: the built-in time services of
// three inetds on 127.0.3.x, started and stopped around this suite by tools/time-peers.
// openbsd-inetd and xinetd answer with exactly four bytes; inetutils-inetd sends eight (the
// seconds and four zero bytes), of which the one read must take the first four.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

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
        // Truncated seconds of this machine's clock, read between the connect call and the
        // answer: every sample's interval holds 0, and the correction is the middle of what
        // they share.
        const Agreement agreement =
            LargestAgreement(querySessions[slot].sampleInterval, SAMPLE_COUNT);
        EXPECT_EQ(agreement.count, SAMPLE_COUNT) << peers[slot];
        EXPECT_LE(agreement.shared.low, 2) << peers[slot];
        EXPECT_GT(agreement.shared.high, -2) << peers[slot];
        EXPECT_LE(std::llabs(record.correction),
                  (agreement.shared.high - agreement.shared.low) / 2 + 2)
            << peers[slot];
        sum += record.correction;
    }
    EXPECT_EQ(lastCorrectionValue, sum / count);
    EXPECT_EQ(lastRunFailed, 0);
}

} // namespace
