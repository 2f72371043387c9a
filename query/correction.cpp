#include "query/correction.h"

#include "platform/window.h"
#include "query/consensus.h"
#include "query/display.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "query/schedule.h"
#include "servers/server_table.h"
#include "servers/settings.h"

uint8_t lastRunFailed = 0;
int32_t lastRunOutcome = OutcomeNone;

void ResetCorrectionGlobals() {
    lastRunFailed = 0;
    lastRunOutcome = OutcomeNone;
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
    const Interval interval = SampleInterval(serverSeconds, session.sampleConnectAt[k], answerAt);
    session.sampleAnswerAt[k] = answerAt;
    session.sampleInterval[k] = interval;
    session.sampleLatency[k] = tick - session.sampleLatency[k];
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
        record.correction =
            ReducePrecise(session.sampleInterval, SAMPLE_COUNT, userOffsetMs).correction;
        record.latency = MeanLatency(session.sampleLatency);
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
    }
    return input;
}

bool ApplyConsensus() {
    return ApplyConsensusOf(TakeConsensusInput());
}

// A slot that is no longer the server it was when the input was taken (deleted, reset, given
// a new run) keeps what it is now; only a server still counted is marked as rejected.
bool ApplyConsensusOf(const ConsensusInput& input) {
    const Consensus consensus = FindConsensus(input.correction, input.candidate);
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
    const Ms1900 attempt = NowMs();
    // The precise estimate is a correction of the run's time, so the clock is set from it: a
    // fresh read of the coarse wall clock would add up to one of its steps.
    const Ms1900 set = wholeSecondEstimate ? AdjustSystemClock(consensus.mean)
                                           : AdjustSystemClockFrom(runClock, consensus.mean);
    lastCorrectionValue = consensus.mean;
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
    return true;
}
