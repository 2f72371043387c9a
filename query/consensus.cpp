#include "query/consensus.h"

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
Sample MakeSample(uint32_t serverSeconds, Ms1900 now, TickMs connected, TickMs answered,
                  int64_t offsetMs) {
    const int64_t difference = AnswerToMs1900(serverSeconds, now) - now;
    const uint32_t latency = answered - connected;
    // Unsigned, so that an absurd local offset wraps instead of overflowing.
    const int64_t correction = static_cast<int64_t>(
        static_cast<uint64_t>(difference) + (latency >> 1) + static_cast<uint64_t>(offsetMs));
    return {latency, correction};
}

ServerResult ReduceSampleValues(uint32_t latency[SAMPLE_COUNT], int64_t correction[SAMPLE_COUNT]) {
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
    return {static_cast<int64_t>(fastSum) / FAST_SAMPLE_COUNT, latencySum / SAMPLE_COUNT};
}

// Floor division and its remainder, for times on either side of 0.
static int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return q * b > a ? q - 1 : q;
}

static int64_t FloorMod(int64_t a, int64_t b) {
    return a - FloorDiv(a, b) * b;
}

Interval SampleInterval(uint32_t serverSeconds, Ms1900 connectAt, Ms1900 connectedAt,
                        Ms1900 answerAt) {
    const Ms1900 server = AnswerToMs1900(serverSeconds, answerAt);
    const Ms1900 established = connectedAt - CONNECT_NOTICE_MARGIN_MS;
    const Ms1900 earliestRead = established > connectAt ? established : connectAt;
    return {server - answerAt - 1, server + 1000 - earliestRead};
}

// The set shares a point exactly when it shares its largest lower bound, so only the lower
// bounds need trying: seven samples, 49 comparisons.
Agreement LargestAgreement(const Interval* intervals, int count) {
    Agreement best = {{0, 0}, 0};
    int bestLatest = -1;
    for (int i = 0; i < count; i++) {
        const int64_t point = intervals[i].low;
        if (intervals[i].high <= point) {
            continue; // empty: it agrees with nothing, itself included
        }
        Agreement here = {{point, intervals[i].high}, 0};
        int latest = -1;
        for (int j = 0; j < count; j++) {
            if (intervals[j].low <= point && point < intervals[j].high) {
                here.count++;
                latest = j;
                here.shared.high =
                    intervals[j].high < here.shared.high ? intervals[j].high : here.shared.high;
            }
        }
        if (here.count > best.count || (here.count == best.count && latest > bestLatest)) {
            best = here;
            bestLatest = latest;
        }
    }
    return best;
}

PreciseResult ReducePrecise(const Interval* intervals, int count, int64_t offsetMs) {
    const Agreement agreement = LargestAgreement(intervals, count);
    const Interval& shared = agreement.shared;
    const int64_t middle = FloorDiv(shared.low + shared.high, 2);
    // Unsigned, so that an absurd local offset wraps instead of overflowing.
    const int64_t correction =
        static_cast<int64_t>(static_cast<uint64_t>(middle) + static_cast<uint64_t>(offsetMs));
    return {correction, (shared.high - shared.low + 1) / 2, agreement.count};
}

uint32_t MeanLatency(const uint32_t latency[SAMPLE_COUNT]) {
    uint32_t sum = 0;
    for (int k = 0; k < SAMPLE_COUNT; k++) {
        sum += latency[k];
    }
    return sum / SAMPLE_COUNT;
}

Ms1900 AimSample(Interval open, uint32_t readDelay, uint32_t spacingMs, Ms1900 lastConnect,
                 Ms1900 now) {
    Ms1900 earliest = now;
    if (lastConnect != 0 && lastConnect + spacingMs > earliest) {
        earliest = lastConnect + spacingMs;
    }
    const int64_t middle = FloorDiv(open.low + open.high, 2);
    return earliest + FloorMod(-(earliest + readDelay + middle), 1000);
}

uint32_t ReadDelay(const Ms1900* connectAt, const Ms1900* answerAt, const uint32_t* latency,
                   int count) {
    int64_t sum = 0;
    for (int k = 0; k < count; k++) {
        const int64_t delay = answerAt[k] - connectAt[k] - latency[k] / 2;
        sum += delay > 0 ? delay : 0;
    }
    return count > 0 ? static_cast<uint32_t>(sum / count) : 0;
}

static uint64_t Distance(int64_t a, int64_t b) {
    return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
                  : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

// The mean of the servers in the set, over a sum that wraps instead of overflowing (the mean
// is right while it fits), divided as signed; count receives how many there are.
static int64_t MeanOf(const int64_t correction[SERVER_SLOT_COUNT], const bool in[SERVER_SLOT_COUNT],
                      int64_t* count) {
    uint64_t sum = 0;
    *count = 0;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (in[slot]) {
            sum += static_cast<uint64_t>(correction[slot]);
            ++*count;
        }
    }
    return *count > 0 ? static_cast<int64_t>(sum) / *count : 0;
}

Consensus FindConsensus(const int64_t correction[SERVER_SLOT_COUNT],
                        const bool candidate[SERVER_SLOT_COUNT]) {
    Consensus result = {};
    bool in[SERVER_SLOT_COUNT];
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        in[slot] = candidate[slot];
    }
    for (;;) {
        int64_t count = 0;
        const int64_t mean = MeanOf(correction, in, &count);
        if (count == 0) {
            return result;
        }
        // One outlier per pass, the farthest; among equal distances the highest slot.
        uint64_t largest = 0;
        int farthest = -1;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            if (!in[slot]) {
                continue;
            }
            const uint64_t deviation = Distance(correction[slot], mean);
            if (deviation >= largest) {
                largest = deviation;
                farthest = slot;
            }
        }
        // A single candidate is 0 away from the mean, so the last one always stays.
        if (largest >= static_cast<uint64_t>(OUTLIER_LIMIT_MS)) {
            in[farthest] = false;
            result.rejected[result.rejectedCount++] = farthest;
            continue;
        }
        result.found = true;
        result.mean = mean;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            result.kept[slot] = in[slot];
        }
        return result;
    }
}

// As for a server's samples, a set shares a point exactly when it shares its largest lower
// bound, so only the lower bounds are tried: 64 servers, 4096 comparisons.
Consensus FindIntervalConsensus(const Interval shared[SERVER_SLOT_COUNT],
                                const int64_t correction[SERVER_SLOT_COUNT],
                                const bool candidate[SERVER_SLOT_COUNT], int64_t offsetMs) {
    Consensus result = {};
    int64_t bestCount = 0;
    uint64_t bestStep = 0;
    for (int i = 0; i < SERVER_SLOT_COUNT; i++) {
        if (!candidate[i]) {
            continue;
        }
        const int64_t point = shared[i].low - SERVER_AGREEMENT_MARGIN_MS;
        bool in[SERVER_SLOT_COUNT] = {};
        for (int j = 0; j < SERVER_SLOT_COUNT; j++) {
            in[j] = candidate[j] && shared[j].low - SERVER_AGREEMENT_MARGIN_MS <= point &&
                    point < shared[j].high + SERVER_AGREEMENT_MARGIN_MS;
        }
        int64_t count = 0;
        const int64_t mean = MeanOf(correction, in, &count);
        const uint64_t step = Distance(mean, offsetMs);
        if (count > bestCount || (count == bestCount && step < bestStep)) {
            bestCount = count;
            bestStep = step;
            result.mean = mean;
            for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
                result.kept[slot] = in[slot];
            }
        }
    }
    result.found = bestCount > 0;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (candidate[slot] && !result.kept[slot]) {
            result.rejected[result.rejectedCount++] = slot;
        }
    }
    return result;
}

bool StepAgreed(const Consensus& consensus, const uint32_t address[SERVER_SLOT_COUNT],
                int64_t offsetMs) {
    if (Distance(consensus.mean, offsetMs) <= static_cast<uint64_t>(LARGE_STEP_MS)) {
        return true;
    }
    int first = -1;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (!consensus.kept[slot]) {
            continue;
        }
        if (first < 0) {
            first = slot;
        } else if (address[slot] != address[first]) {
            return true;
        }
    }
    return false;
}
