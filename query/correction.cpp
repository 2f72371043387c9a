#include "query/correction.h"

#include <cstdio>

#include "platform/window.h"
#include "query/consensus.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "time/duration.h"

uint8_t lastRunFailed = 0;
int32_t lastRunOutcome = OutcomeNone;
int64_t refusedStep = 0;
// The whole of the refused correction and the arithmetic it came from, for a person's yes.
static int64_t refusedCorrection = 0;
static bool refusedPrecise = false;

void ResetCorrectionGlobals() {
    lastRunFailed = 0;
    lastRunOutcome = OutcomeNone;
    refusedStep = 0;
    refusedCorrection = 0;
    refusedPrecise = false;
}

// The older arithmetic reads the clock before the tick, both after the answer has arrived.
// The precise estimate reads the tick once, for the latency and for the run's time of the
// answer, which bounds the sample's interval with the run's time of its connect call.
void RecordSample(int slot, uint32_t serverSeconds) {
    QuerySession& session = querySessions[slot];
    const int k = session.sampleIndex;
    if (k < 0 || k >= SAMPLE_COUNT) {
        return;
    }
    if (wholeSecondEstimate) {
        const Ms1900 now = NowMs();
        const Sample sample =
            MakeSample(serverSeconds, now, session.sampleLatency[k], ReadTickMs(), userOffsetMs);
        session.sampleLatency[k] = sample.latency;
        session.sampleCorrection[k] = sample.correction;
        return;
    }
    const TickMs tick = ReadTickMs();
    const Ms1900 answerAt = runClock.wall != 0 ? RunClockAt(runClock, tick) : NowMs();
    // The latency runs from the handled connect notice, which bounds the server's read too.
    const uint32_t latency = tick - session.sampleLatency[k];
    const Interval interval =
        SampleInterval(serverSeconds, session.sampleConnectAt[k], answerAt - latency, answerAt);
    session.sampleAnswerAt[k] = answerAt;
    session.sampleInterval[k] = interval;
    session.sampleLatency[k] = latency;
    session.sampleCorrection[k] = ReducePrecise(&interval, 1, userOffsetMs).correction;
}

void ReduceSamples(int slot) {
    QuerySession& session = querySessions[slot];
    ServerRecord& record = serverTable[slot];
    if (wholeSecondEstimate) {
        const ServerResult result =
            ReduceSampleValues(session.sampleLatency, session.sampleCorrection);
        record.correction = result.correction;
        record.latency = result.latency;
    } else {
        const PreciseResult result =
            ReducePrecise(session.sampleInterval, SAMPLE_COUNT, userOffsetMs);
        record.correction = result.correction;
        record.latency = MeanLatency(session.sampleLatency);
        if (result.agreeing < SELF_AGREEMENT_MIN) {
            EndQuery(slot, Rejected);
            return;
        }
    }
    EndQuery(slot, testOnly ? Tested : Used);
}

static void WriteMsSetting(const char* name, int64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    WriteSetting(name, bytes, sizeof bytes);
}

ConsensusInput TakeConsensusInput() {
    ConsensusInput input;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const ServerRecord& record = serverTable[slot];
        input.correction[slot] = record.correction;
        input.candidate[slot] = !IsFreeSlot(record) && record.status == Used;
        input.address[slot] = querySessions[slot].address;
        input.shared[slot] =
            LargestAgreement(querySessions[slot].sampleInterval, SAMPLE_COUNT).shared;
    }
    input.precise = wholeSecondEstimate == 0;
    input.offsetMs = userOffsetMs;
    return input;
}

bool ApplyConsensus() {
    return ApplyConsensusOf(TakeConsensusInput());
}

// Sets the clock by the consensus, records it and announces it.
static void SetClockBy(int64_t correction, bool precise) {
    const Ms1900 attempt = NowMs();
    // The precise estimate is a correction of the run's time, so the clock is set from it: a
    // fresh read of the coarse wall clock would add up to one of its steps.
    const Ms1900 set =
        precise ? AdjustSystemClockFrom(runClock, correction) : AdjustSystemClock(correction);
    lastCorrectionValue = correction;
    lastCorrectionTime = set;
    lastRunOutcome = set != 0 ? OutcomeCorrected : OutcomeNotPermitted;
    // A clock that the platform would not let us set is recorded as no correction (0), but the
    // schedule still counts from this attempt: counted from 0, every tick would find the next
    // run due at once.
    lastRunTime = set != 0 ? set : attempt;
    WriteMsSetting("LastCorrectionTime", lastCorrectionTime);
    WriteMsSetting("LastCorrectionValue", lastCorrectionValue);
    if (quitAfterCorrection) {
        PlatformSetTimer(mainDialog, TIMER_QUIT, QUIT_DELAY_MS);
    }
    PlatformAnnounceTimeChange();
}

// A slot that is no longer the server it was when the input was taken (deleted, reset, given
// a new run) keeps what it is now; only a server still counted is marked as rejected. A step
// too large for the servers that agree on it sets nothing and stores nothing: the run failed.
bool ApplyConsensusOf(const ConsensusInput& input) {
    const Consensus consensus =
        input.precise
            ? FindIntervalConsensus(input.shared, input.correction, input.candidate, input.offsetMs)
            : FindConsensus(input.correction, input.candidate);
    for (int i = 0; i < consensus.rejectedCount; i++) {
        const int slot = consensus.rejected[i];
        if (IsFreeSlot(serverTable[slot]) || serverTable[slot].status != Used) {
            continue;
        }
        serverTable[slot].status = Rejected;
        querySessions[slot].dirty = 1;
        SaveServer(slot);
    }
    if (!consensus.found) {
        lastRunFailed = 1;
        lastRunOutcome = OutcomeNoServer;
        return false;
    }
    if (!StepAgreed(consensus, input.address, input.offsetMs)) {
        refusedStep = static_cast<int64_t>(static_cast<uint64_t>(consensus.mean) -
                                           static_cast<uint64_t>(input.offsetMs));
        refusedCorrection = consensus.mean;
        refusedPrecise = input.precise;
        lastRunFailed = 1;
        lastRunOutcome = OutcomeRefused;
        return false;
    }
    SetClockBy(consensus.mean, input.precise);
    return true;
}

void FormatRefusal(char out[REFUSAL_TEXT_SIZE]) {
    char amount[DURATION_TEXT_SIZE];
    FormatDuration(refusedStep, amount);
    snprintf(out, REFUSAL_TEXT_SIZE, "Not corrected: 1 server says %s", amount);
}

bool ApplyRefusedStep() {
    if (lastRunOutcome != OutcomeRefused) {
        return false;
    }
    lastRunFailed = 0;
    SetClockBy(refusedCorrection, refusedPrecise);
    return true;
}
