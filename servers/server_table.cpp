#include "servers/server_table.h"

#include <cstdio>
#include <cstring>

#include "servers/list_display.h"
#include "servers/settings.h"
#include "servers/slot_queries.h"

ServerRecord serverTable[SERVER_SLOT_COUNT];
bool freshDefaults = false;
bool needDefaults = true;

void ResetServerTableGlobals() {
    memset(serverTable, 0, sizeof serverTable);
    freshDefaults = false;
    needDefaults = true;
}

// Public servers of the Time protocol (TCP port 37), in the order they are installed.
const char* const DEFAULT_SERVERS[DEFAULT_SERVER_COUNT] = {
    "time.nist.gov",
    "time-a-g.nist.gov",
    "time-b-g.nist.gov",
    "time-c-g.nist.gov",
    "time-d-g.nist.gov",
    "time-e-g.nist.gov",
    "time-a-wwv.nist.gov",
    "time-b-wwv.nist.gov",
    "time-c-wwv.nist.gov",
    "time-d-wwv.nist.gov",
    "time-e-wwv.nist.gov",
    "time-a-b.nist.gov",
    "time-b-b.nist.gov",
    "time-c-b.nist.gov",
    "time-d-b.nist.gov",
    "time-e-b.nist.gov",
    "utcnist.colorado.edu",
    "utcnist2.colorado.edu",
    "utcnist3.colorado.edu",
    "time.inrim.it",
    "time-a.nist.gov",
    "time-b.nist.gov",
    "time-a.timefreq.bldrdoc.gov",
    "time-b.timefreq.bldrdoc.gov",
    "time-c.timefreq.bldrdoc.gov",
    "nist.netservicesgroup.com",
    "nisttime.carsoncity.k12.mi.us",
    "tick.usno.navy.mil",
    "tock.usno.navy.mil",
    "nets.org.sg",
    "nist1.columbiacountyga.gov",
    "time-c.nist.gov",
    "time-d.nist.gov",
    "time-nw.nist.gov",
    "wwv.nist.gov",
    "nist1-ny.ustiming.org",
    "nist1-nj.ustiming.org",
    "nist1-nj2.ustiming.org",
    "nist1-pa.ustiming.org",
    "nist1-chi.ustiming.org",
    "nist1-atl.ustiming.org",
    "nist1-la.ustiming.org",
    "nist1-lv.ustiming.org",
    "nist1-sj.ustiming.org",
    "nist1.aol-va.symmetricom.com",
    "nist1.aol-ca.symmetricom.com",
    "nist1.symmetricom.com",
    "nist1-macon.macon.ga.us",
    "nist1-lnk.binary.net",
    "ntp-nist.ldsbc.edu",
    "nist-time-server.eoni.com",
    "nist.expertsmi.com",
    "wolfnisttime.com",
    "nist1-dc.glassey.com",
    "nist1-ny.glassey.com",
    "nist1-sj.glassey.com",
    "time-nist.symmetricom.com",
    "time.ien.it",
};

static bool ValidSlot(int slot) {
    return slot >= 0 && slot < SERVER_SLOT_COUNT;
}

// Slots are 0 to 63; the modulus only keeps a wrong number from overrunning the 10 bytes.
void ServerValueName(int slot, char* name) {
    snprintf(name, 10, "Server%03u", static_cast<unsigned>(slot) % 1000u);
}

int AddServer(const char* name) {
    if (name == nullptr || name[0] == 0) {
        return -1;
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        ServerRecord& record = serverTable[slot];
        if (!IsFreeSlot(record)) {
            continue;
        }
        // Only the text and its zero: the rest of the field keeps what the slot held.
        size_t length = strnlen(name, SERVER_NAME_SIZE - 1);
        memcpy(record.name, name, length);
        record.name[length] = 0;
        record.status = None;
        record.enabled = 1;
        MarkSlotChanged(slot);
        return slot;
    }
    return -1;
}

void SaveServer(int slot) {
    if (!ValidSlot(slot)) {
        return;
    }
    char valueName[16];
    ServerValueName(slot, valueName);
    if (IsFreeSlot(serverTable[slot])) {
        WriteSetting(valueName, nullptr, 0);
    } else {
        WriteSetting(valueName, &serverTable[slot], SERVER_RECORD_SIZE);
    }
}

void UpdateServer(int slot) {
    RefreshListRows(false);
    SaveServer(slot);
}

void ResetServerList() {
    memset(serverTable, 0, sizeof serverTable);
    for (const char* name : DEFAULT_SERVERS) {
        AddServer(name);
    }
    freshDefaults = true;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        UpdateServer(slot);
    }
}

// A stored value of any other size than a whole record is not one this program wrote; the
// slot loads free rather than as a mix of stored and stale bytes.
void LoadServerList() {
    if (needDefaults) {
        ResetServerList();
        needDefaults = false;
        return;
    }
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        char valueName[16];
        ServerValueName(slot, valueName);
        ServerRecord stored;
        uint32_t size = 0;
        if (ReadSetting(valueName, &stored, sizeof stored, &size) && size == SERVER_RECORD_SIZE) {
            serverTable[slot] = stored;
            // Everyone reads the name up to its zero; a value edited by hand may have none.
            serverTable[slot].name[SERVER_NAME_SIZE - 1] = 0;
        } else {
            serverTable[slot].name[0] = 0;
            serverTable[slot].status = None;
            MarkSlotChanged(slot);
        }
        RefreshListRows(false);
    }
}

static void FreeSlot(int slot) {
    serverTable[slot].name[0] = 0;
    UpdateServer(slot);
}

// Only servers with a good result stay. The keep-best command may come during a run: a slot
// dropped while its query is still open has that query ended first, so that its late outcome
// cannot land on a server added to the slot afterwards; and the run's end, whose consensus may
// still reject a server as an outlier, is carried out before any slot is judged.
void KeepBestFour() {
    StopRuns();
    int good = 0;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (IsFreeSlot(serverTable[slot])) {
            continue;
        }
        if (IsKeptByPruning(serverTable[slot].status)) {
            good++;
        } else {
            FreeSlot(slot);
        }
    }
    // Among equal latencies the highest slot goes first.
    for (; good > KEEP_BEST_COUNT; good--) {
        int chosen = -1;
        for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
            if (!IsFreeSlot(serverTable[slot]) &&
                (chosen < 0 || serverTable[slot].latency >= serverTable[chosen].latency)) {
                chosen = slot;
            }
        }
        InterruptSlotQuery(chosen);
        FreeSlot(chosen);
    }
    SortRows();
}
