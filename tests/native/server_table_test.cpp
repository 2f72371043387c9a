#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/registry.h"
#include "platform/sim/sim.h"
#include "query/query.h"
#include "servers/server_table.h"
#include "servers/settings.h"
#include "tests/fakes/fakes.h"
#include "tests/native/harness.h"

namespace {

class ServerTable : public ::testing::Test {
  protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override {
        EXPECT_EQ(SimRegOpenKeyCount(), 0);
        EXPECT_EQ(fakeLog.fatalCount, 0);
    }
};

bool IsStored(int slot) {
    char name[16];
    snprintf(name, sizeof name, "Server%03d", slot);
    return SimRegValueInfo(SETTINGS_KEY, name, nullptr, nullptr);
}

void Occupy(int slot, const char* name, int32_t status, uint32_t latency = 0) {
    snprintf(serverTable[slot].name, SERVER_NAME_SIZE, "%s", name);
    serverTable[slot].enabled = 1;
    serverTable[slot].status = status;
    serverTable[slot].latency = latency;
    SaveServer(slot);
}

// The occupied slots, each marked "!" unless stored, plus any free slot that is stored.
std::string Occupied() {
    std::string s;
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (!IsFreeSlot(serverTable[slot]) || IsStored(slot)) {
            s += std::to_string(slot) + (IsFreeSlot(serverTable[slot]) ? "free" : "") +
                 (IsStored(slot) ? " " : "! ");
        }
    }
    return s;
}

TEST(DefaultServers, CountDistinctShort) {
    std::set<std::string> names;
    for (const char* name : DEFAULT_SERVERS) {
        EXPECT_GT(strlen(name), 0u);
        EXPECT_LE(strlen(name), 30u) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 58u);
    EXPECT_STREQ(DEFAULT_SERVERS[0], "time.nist.gov");
    EXPECT_STREQ(DEFAULT_SERVERS[57], "time.ien.it");
}

TEST_F(ServerTable, AddFillsTheLowestFreeSlot) {
    EXPECT_EQ(AddServer(""), -1);
    EXPECT_EQ(AddServer(nullptr), -1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(AddServer("a.example"), i);
    }
    serverTable[1].name[0] = 0;
    EXPECT_EQ(AddServer("b.example"), 1);
    while (AddServer("x") >= 0) {
    }
    ServerRecord before[SERVER_SLOT_COUNT];
    memcpy(before, serverTable, sizeof before);
    EXPECT_EQ(AddServer("one.too.many"), -1);
    EXPECT_EQ(memcmp(before, serverTable, sizeof before), 0);
    EXPECT_FALSE(SimRegKeyExists(SETTINGS_KEY)) << "adding must not store";
}

TEST_F(ServerTable, AddCutsAt127AndWritesOnlyTheName) {
    for (size_t length : {size_t{127}, size_t{128}, size_t{200}}) {
        ResetWorld();
        ServerRecord& r = serverTable[0];
        memset(&r, 0x5A, sizeof r); // what a freed slot still holds
        r.name[0] = 0;
        ASSERT_EQ(AddServer(std::string(length, 'n').c_str()), 0);
        EXPECT_EQ(strlen(r.name), 127u);
        EXPECT_EQ(static_cast<uint8_t>(r.name[127]), 0);
        EXPECT_EQ(r.status, None);
        EXPECT_EQ(r.enabled, 1);
        EXPECT_EQ(r.latency, 0x5A5A5A5Au);
        EXPECT_EQ(querySessions[0].dirty, 1);
    }
}

TEST_F(ServerTable, SaveStoresTheRecordOrDeletesIt) {
    Occupy(7, "time.example", Used, 87);
    serverTable[7].correction = -250;
    UpdateServer(7);
    uint32_t type = 0, size = 0;
    ASSERT_TRUE(SimRegValueInfo(SETTINGS_KEY, "Server007", &type, &size));
    EXPECT_EQ(type, REGISTRY_BINARY);
    EXPECT_EQ(size, SERVER_RECORD_SIZE);
    EXPECT_EQ(memcmp(SimRegValueData(SETTINGS_KEY, "Server007"), &serverTable[7], size), 0);
    EXPECT_EQ(fakeLog.refreshFullCount, 1);
    serverTable[7].name[0] = 0;
    SaveServer(7);
    SaveServer(7); // deleting the missing value again is no error
    EXPECT_EQ(Occupied(), "");
}

TEST_F(ServerTable, ResetAndLoad) {
    Occupy(60, "old.example", Used);
    LoadServerList(); // needDefaults: installs the defaults
    EXPECT_FALSE(needDefaults);
    EXPECT_TRUE(freshDefaults);
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        const ServerRecord& r = serverTable[slot];
        if (slot < DEFAULT_SERVER_COUNT) {
            EXPECT_STREQ(r.name, DEFAULT_SERVERS[slot]);
            EXPECT_EQ(r.enabled, 1);
            EXPECT_EQ(r.status, None);
            EXPECT_TRUE(IsStored(slot)) << slot;
        } else {
            EXPECT_TRUE(IsFreeSlot(r) && !IsStored(slot)) << slot;
        }
    }
    EXPECT_EQ(memcmp(SimRegValueData(SETTINGS_KEY, "Server000") + 13, "\0\0\0", 3), 0);

    // A restart: Server005 is missing, Server006 has a size the program never writes.
    serverTable[3].reserved[2] = 9; // carried through as it stands
    SaveServer(3);
    ServerRecord saved[SERVER_SLOT_COUNT];
    memcpy(saved, serverTable, sizeof saved);
    RegKey key;
    ASSERT_EQ(PlatformRegOpenKey(SETTINGS_KEY, &key), 0);
    PlatformRegDeleteValue(key, "Server005");
    PlatformRegSetValue(key, "Server006", REGISTRY_BINARY, saved, 100);
    PlatformRegCloseKey(key);
    memset(serverTable, 0x44, sizeof serverTable);
    freshDefaults = false;
    LoadServerList();
    for (int slot = 0; slot < SERVER_SLOT_COUNT; slot++) {
        if (slot == 5 || slot == 6 || slot >= DEFAULT_SERVER_COUNT) {
            EXPECT_TRUE(IsFreeSlot(serverTable[slot])) << slot;
            EXPECT_EQ(serverTable[slot].status, None);
            EXPECT_EQ(serverTable[slot].latency, 0x44444444u) << "partial record in " << slot;
        } else {
            EXPECT_EQ(memcmp(&serverTable[slot], &saved[slot], sizeof saved[slot]), 0) << slot;
        }
    }
    EXPECT_FALSE(freshDefaults);
    EXPECT_FALSE(IsStored(5)); // loading writes nothing back
}

// A record stored by someone else may lack the zero after its name; every reader of the name
// relies on one.
TEST_F(ServerTable, LoadedNameAlwaysEnds) {
    ServerRecord planted;
    memset(&planted, 'a', sizeof planted);
    RegKey key;
    ASSERT_EQ(PlatformRegCreateKey(SETTINGS_KEY, &key), 0);
    PlatformRegSetValue(key, "Server063", REGISTRY_BINARY, &planted, SERVER_RECORD_SIZE);
    PlatformRegCloseKey(key);
    needDefaults = false;
    LoadServerList();
    EXPECT_EQ(strlen(serverTable[63].name), size_t{SERVER_NAME_SIZE - 1});
    EXPECT_EQ(serverTable[63].enabled, 0x61616161);
}

TEST_F(ServerTable, LoadOfNothingWritesNothing) {
    needDefaults = false;
    LoadServerList();
    EXPECT_EQ(Occupied(), "");
    EXPECT_FALSE(SimRegKeyExists(SETTINGS_KEY));
}

TEST_F(ServerTable, KeepBestFour) {
    const struct {
        const char* what;
        struct {
            int32_t status;
            uint32_t latency;
        } slots[8];
        const char* remaining;
    } cases[] = {
        {"worked example",
         {{Used, 30},
          {Used, 50},
          {Used, 50},
          {Used, 20},
          {Used, 90},
          {Used, 10},
          {NoResponse, 1},
          {NoResponse, 1}},
         "0 1 3 5 "},
        {"three good only",
         {{Tested, 300}, {None, 1}, {Used, 200}, {Rejected, 1}, {Used, 9}},
         "0 2 4 "},
        {"ties go to the higher slot",
         {{Used, 40}, {Used, 40}, {Used, 40}, {Used, 40}, {Used, 40}, {Used, 40}},
         "0 1 2 3 "},
        {"latency compared unsigned",
         {{Used, 10}, {Used, 20}, {Tested, 0x80000000u}, {Used, 30}, {Used, 40}},
         "0 1 3 4 "},
        {"every other code dropped",
         {{WinsockError, 1},
          {SlowResponse, 1},
          {Refused, 1},
          {NetIsDown, 1},
          {NoDnsEntry, 1},
          {Disabled, 1},
          {Interrupted, 1},
          {Rejected, 1}},
         ""},
    };
    for (const auto& c : cases) {
        ResetWorld();
        for (int slot = 0; slot < 8; slot++) {
            if (c.slots[slot].status != None || c.slots[slot].latency != 0) {
                Occupy(slot, "s.example", c.slots[slot].status, c.slots[slot].latency);
            }
        }
        KeepBestFour();
        EXPECT_EQ(Occupied(), c.remaining) << c.what;
        EXPECT_EQ(fakeLog.sortCount, 1) << c.what;
    }
}

// The keep-best command during a run: a dropped slot's query ends there and then, so that its
// outcome cannot arrive later on a server added to the freed slot.
TEST_F(ServerTable, KeepBestFourEndsAnOpenQuery) {
    for (int slot : {0, 1, 3, 4}) {
        Occupy(slot, "s.example", Used, 10);
    }
    Occupy(2, "127.0.0.2", None);
    SimAddServer(SimAddress(127, 0, 0, 2), SimServer{SIM_ANSWER, 0, 5, 50, -1});
    StartQuery(2);
    RunFor(20); // connected, waiting for the answer
    ASSERT_EQ(querySessions[2].phase, Reading);
    KeepBestFour();
    EXPECT_EQ(activeQueries, 0);
    EXPECT_EQ(querySessions[2].socketHandle, 0u);
    EXPECT_EQ(Occupied(), "0 1 3 4 ");
    EXPECT_EQ(AddServer("new.example"), 2);
    RunFor(200000);
    EXPECT_EQ(serverTable[2].status, None) << "the old query's outcome reached the new server";
    EXPECT_EQ(SimOpenSocketCount(), 0);
}

// Ending the last open query ends the run; a successful run over fresh defaults offers the
// pruning, but asks only once the command is over, so the two never run inside each other.
TEST_F(ServerTable, KeepBestFourThatEndsARunAsksAfterwards) {
    for (int slot = 0; slot < 6; slot++) {
        Occupy(slot, "s.example", Used, 100 - 10 * slot);
        serverTable[slot].correction = 500;
    }
    Occupy(6, "busy.example", None);
    querySessions[6].phase = Reading;
    activeQueries = 1;
    freshDefaults = true;
    KeepBestFour();
    EXPECT_EQ(SimBoxCount(), 0);
    EXPECT_EQ(SimClockSetCount(), 1);
    EXPECT_EQ(Occupied(), "2 3 4 5 ");
    RunFor(0); // the question, answered OK, finds nothing more to drop
    EXPECT_EQ(SimBoxCount(), 1) << "the run end did not offer the pruning";
    EXPECT_EQ(Occupied(), "2 3 4 5 ");
}

// Ending the last open query ends the run, whose consensus may reject a server that the
// first pass has already looked at; a rejected server never survives the pruning.
TEST_F(ServerTable, KeepBestFourDropsAServerRejectedByTheRunItEnds) {
    wholeSecondEstimate = 1; // a consensus by the corrections alone
    Occupy(0, "far.example", Used, 5);
    serverTable[0].correction = 90000;
    for (int slot = 2; slot < 6; slot++) {
        Occupy(slot, "s.example", Used, 10);
    }
    Occupy(1, "busy.example", None);
    querySessions[1].phase = Reading;
    activeQueries = 1;
    KeepBestFour();
    EXPECT_EQ(SimClockSetCount(), 1);
    EXPECT_EQ(Occupied(), "2 3 4 5 ");
}

} // namespace
