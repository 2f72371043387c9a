#include "query/pacing.h"

#include <cstring>

#include "platform/window.h"
#include "query/engine_messages.h"
#include "query/query.h"
#include "servers/settings.h"
#include "servers/waits.h"

uint32_t sampleSpacingMs = DEFAULT_SAMPLE_SPACING_MS;

// The last connection to each address, on the tick, which corrections of the clock do not
// move. Kept across runs: a test begun right after a correction must not ask a server again
// any sooner. Twice the slots; only an entry outside the spacing makes room for a new address.
// When every entry is inside it (three runs of new addresses within one spacing), the new
// address waits for one to come free: forgetting one would let it be asked again too soon.
struct AddressUse {
    bool used;
    uint32_t address;
    TickMs at;
};
static AddressUse addressUses[2 * SERVER_SLOT_COUNT];
// Fine timers are asked for while this run aims its samples.
static bool aiming = false;

void ResetPacingGlobals() {
    sampleSpacingMs = DEFAULT_SAMPLE_SPACING_MS;
    memset(addressUses, 0, sizeof addressUses);
    aiming = false;
}

static AddressUse* FindAddressUse(uint32_t address) {
    for (AddressUse& use : addressUses) {
        if (use.used && use.address == address) {
            return &use;
        }
    }
    return nullptr;
}

static uint32_t SpacingLeft(const AddressUse& use, TickMs now) {
    const TickMs since = now - use.at;
    return since >= sampleSpacingMs ? 0 : sampleSpacingMs - since;
}

// How long an address must still wait: its own spacing, or for a new address the time until
// some entry of the table comes free.
static uint32_t AddressWait(uint32_t address, TickMs now) {
    if (const AddressUse* use = FindAddressUse(address)) {
        return SpacingLeft(*use, now);
    }
    uint32_t soonest = UINT32_MAX;
    for (const AddressUse& use : addressUses) {
        const uint32_t left = use.used ? SpacingLeft(use, now) : 0;
        soonest = left < soonest ? left : soonest;
    }
    return soonest;
}

// The address's own entry, else a free one, else the one used longest ago among those outside
// the spacing. Connections are made only when AddressWait found room, so there always is one;
// should there be none, the oldest still gives way rather than nothing being noted.
void NoteConnection(uint32_t address) {
    const TickMs now = ReadTickMs();
    AddressUse* use = FindAddressUse(address);
    if (use == nullptr) {
        use = &addressUses[0];
        for (AddressUse& other : addressUses) {
            if (!other.used) {
                use = &other;
                break;
            }
            const bool otherOut = SpacingLeft(other, now) == 0;
            const bool useOut = SpacingLeft(*use, now) == 0;
            if ((otherOut && !useOut) ||
                (otherOut == useOut &&
                 static_cast<TickMs>(now - other.at) > static_cast<TickMs>(now - use->at))) {
                use = &other;
            }
        }
    }
    *use = {true, address, now};
}

// How long the slot's next sample must still wait: for its address, and in the precise
// estimate for its aim too. The aim is worked out anew at each look, from the last connection
// to the address as it is now (a second name of the address may have connected meanwhile);
// while the aimed moment has not come, a later look finds the same one.
static uint32_t SampleWait(int slot, TickMs now) {
    const QuerySession& session = querySessions[slot];
    const uint32_t addressWait = AddressWait(session.address, now);
    const int taken = session.sampleIndex;
    if (wholeSecondEstimate || taken < 1 || taken >= SAMPLE_COUNT) {
        return addressWait;
    }
    // Names of one address take turns, the longest waiting first, as without the aim: one
    // whose aim came early must not take the other's turn.
    for (int other = 0; other < SERVER_SLOT_COUNT; other++) {
        const QuerySession& o = querySessions[other];
        if (other == slot || o.phase != Waiting || o.address != session.address) {
            continue;
        }
        const TickMs waited = now - o.waitingSince;
        const TickMs ownWait = now - session.waitingSince;
        if (waited > ownWait || (waited == ownWait && other < slot)) {
            return SampleWait(other, now) + sampleSpacingMs;
        }
    }
    const Ms1900 nowRun = RunClockAt(runClock, now);
    const AddressUse* use = FindAddressUse(session.address);
    const Ms1900 lastConnect = use != nullptr ? nowRun - (now - use->at) : 0;
    const Agreement open = LargestAgreement(session.sampleInterval, taken);
    const uint32_t readDelay =
        ReadDelay(session.sampleConnectAt, session.sampleAnswerAt, session.sampleLatency, taken);
    const Ms1900 aim = AimSample(open.shared, readDelay, sampleSpacingMs, lastConnect,
                                 RunClockAt(runClock, session.waitingSince));
    const int64_t aimWait = aim - nowRun;
    return aimWait > static_cast<int64_t>(addressWait) ? static_cast<uint32_t>(aimWait)
                                                       : addressWait;
}

// The busy tick's 200 ms are too coarse to aim with: a timer is set to the next waiting
// sample's moment instead, with the platform's timers made fine for the run. The older
// arithmetic keeps its older timing, the busy tick alone.
static void SetAimTimer() {
    if (wholeSecondEstimate) {
        return;
    }
    const TickMs now = ReadTickMs();
    uint32_t soonest = UINT32_MAX;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (querySessions[slot].phase == Waiting) {
            const uint32_t wait = SampleWait(slot, now);
            soonest = wait < soonest ? wait : soonest;
        }
    }
    if (soonest == UINT32_MAX) {
        PlatformKillTimer(mainDialog, TIMER_AIM);
        return;
    }
    if (!aiming) {
        aiming = true;
        PlatformFineTimers(true);
    }
    PlatformSetTimer(mainDialog, TIMER_AIM, soonest > 0 ? soonest : 1);
}

void StopAiming() {
    PlatformKillTimer(mainDialog, TIMER_AIM);
    if (aiming) {
        aiming = false;
        PlatformFineTimers(false);
    }
}

// The next sample of a query whose address is known: at once when it may start, else once it
// may (StartDueSamples).
void StartSample(int slot) {
    QuerySession& session = querySessions[slot];
    const TickMs now = ReadTickMs();
    session.waitingSince = now;
    if (SampleWait(slot, now) == 0) {
        session.phase = Connecting;
        ConnectSample(slot);
        return;
    }
    session.phase = Waiting;
    session.dirty = 1;
    SetAimTimer();
}

void StartDueSamples() {
    for (;;) {
        const TickMs now = ReadTickMs();
        int first = -1;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            const QuerySession& session = querySessions[slot];
            if (session.phase != Waiting || SampleWait(slot, now) != 0) {
                continue;
            }
            if (first < 0 || static_cast<TickMs>(now - session.waitingSince) >
                                 static_cast<TickMs>(now - querySessions[first].waitingSince)) {
                first = slot;
            }
        }
        if (first < 0) {
            break;
        }
        ConnectSample(first);
    }
    SetAimTimer();
}
