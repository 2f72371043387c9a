#include "query/consensus.h"

#include "platform/window.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "ui/main_window.h"
#include "ui/messages.h"
#include "ui/resource.h"

uint8_t lastRunFailed = 0;

void ResetConsensusGlobals() {
    lastRunFailed = 0;
}

// The protocol's 32-bit seconds run out on 2036-02-07 06:28:16 UTC and start again at 0. One
// such era lasts 2^32 s, about 136 years; an answer is read in the era that puts it nearest the
// local clock, which is never near a whole era wrong. Eras before 1900 are not considered.
constexpr int64_t ERA_MS = (int64_t{1} << 32) * 1000;

Ms1900 AnswerToMs1900(uint32_t serverSeconds, Ms1900 now) {
    const int64_t inFirstEra = int64_t{serverSeconds} * 1000;
    if (now <= inFirstEra) {
        return inFirstEra;
    }
    const int64_t behind = now - inFirstEra;
    int64_t era = behind / ERA_MS;
    if (behind % ERA_MS > ERA_MS / 2) {
        era++;
    }
    const int64_t lastEra = (INT64_MAX - inFirstEra) / ERA_MS;
    return inFirstEra + (era < lastEra ? era : lastEra) * ERA_MS;
}

// The latency is taken on the tick, which the clock's own corrections do not move; half of it
// is the best guess of how old the answer was when it arrived.
void RecordSample(int slot, uint32_t serverSeconds) {
    QuerySession& session = querySessions[slot];
    const int k = session.sampleIndex;
    if (k < 0 || k >= SAMPLE_COUNT) {
        return;
    }
    const Ms1900 now = NowMs();
    const TickMs tick = ReadTickMs();
    const int64_t difference = AnswerToMs1900(serverSeconds, now) - now;
    const uint32_t latency = tick - session.sampleLatency[k];
    session.sampleLatency[k] = latency;
    // Unsigned, so that an absurd local offset wraps instead of overflowing.
    session.sampleCorrection[k] = static_cast<int64_t>(
        static_cast<uint64_t>(difference) + (latency >> 1) + static_cast<uint64_t>(userOffsetMs));
}

void ReduceSamples(int slot) {
    QuerySession& session = querySessions[slot];
    uint32_t* latency = session.sampleLatency;
    int64_t* correction = session.sampleCorrection;
    // This exact exchange sort decides which of several equal latencies count as the fastest.
    for (int a = 0; a < SAMPLE_COUNT - 1; a++) {
        for (int j = a + 1; j < SAMPLE_COUNT; j++) {
            if (latency[j] < latency[a]) {
                const uint32_t l = latency[a];
                latency[a] = latency[j];
                latency[j] = l;
                const int64_t c = correction[a];
                correction[a] = correction[j];
                correction[j] = c;
            }
        }
    }
    uint64_t fastSum = 0; // wraps instead of overflowing, like the sums of the consensus
    for (int k = 0; k < FAST_SAMPLE_COUNT; k++) {
        fastSum += static_cast<uint64_t>(correction[k]);
    }
    uint32_t latencySum = 0;
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        latencySum += latency[k];
    }
    ServerRecord& record = serverTable[slot];
    record.correction = static_cast<int64_t>(fastSum) / FAST_SAMPLE_COUNT;
    record.latency = latencySum / SAMPLE_COUNT;
    EndQuery(slot, testOnly ? Tested : Used);
}

static uint64_t Distance(int64_t a, int64_t b) {
    return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
                  : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

static void WriteMsSetting(const char* name, int64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    WriteSetting(name, bytes, sizeof bytes);
}

bool ApplyConsensus() {
    for (;;) {
        uint64_t sum = 0; // wraps instead of overflowing; the mean is right while it fits
        int64_t count = 0;
        for (const ServerRecord& record : serverTable) {
            if (!IsFreeSlot(record) && record.status == Used) {
                sum += static_cast<uint64_t>(record.correction);
                count++;
            }
        }
        if (count == 0) {
            lastRunFailed = 1;
            return false;
        }
        const int64_t mean = static_cast<int64_t>(sum) / count;
        // One outlier per pass, the farthest; among equal distances the highest slot.
        uint64_t largest = 0;
        int farthest = -1;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            const ServerRecord& record = serverTable[slot];
            if (IsFreeSlot(record) || record.status != Used) {
                continue;
            }
            const uint64_t deviation = Distance(record.correction, mean);
            if (deviation >= largest) {
                largest = deviation;
                farthest = slot;
            }
        }
        if (largest >= static_cast<uint64_t>(OUTLIER_LIMIT_MS)) {
            serverTable[farthest].status = Rejected;
            querySessions[farthest].dirty = 1;
            SaveServer(farthest);
            continue;
        }
        const Ms1900 attempt = NowMs();
        const Ms1900 set = AdjustSystemClock(mean);
        lastCorrectionValue = mean;
        lastCorrectionTime = set;
        // A clock that the platform would not let us set is recorded as no correction (0), but
        // the schedule still counts from this attempt: counted from 0, every tick would find
        // the next run due at once.
        lastRunTime = set != 0 ? set : attempt;
        WriteMsSetting("LastCorrectionTime", lastCorrectionTime);
        WriteMsSetting("LastCorrectionValue", lastCorrectionValue);
        if (quitAfterCorrection) {
            PlatformSetTimer(mainDialog, TIMER_QUIT, QUIT_DELAY_MS);
        }
        PlatformBroadcastTimeChange();
        return true;
    }
}
