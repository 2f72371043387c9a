#include <gtest/gtest.h>

#include "servers/server_record.h"

namespace {

TEST(ServerRecord, StatusTexts) {
    const struct {
        int32_t status;
        const char* text;
    } cases[] = {
        {WinsockError, "Winsock Error"},
        {NoResponse, "No Response"},
        {SlowResponse, "Slow Response"},
        {Refused, "Refused"},
        {NetIsDown, "Net is Down"},
        {NoDnsEntry, "No DNS entry"},
        {Disabled, "Disabled"},
        {Interrupted, "Interrupted"},
        {None, nullptr},
        {9, nullptr},
        {99, nullptr},
        {Rejected, nullptr},
        {Used, nullptr},
        {103, nullptr},
        {-1, nullptr},
        {INT32_MIN, nullptr},
    };
    for (const auto& c : cases) {
        if (c.text == nullptr) {
            EXPECT_EQ(StatusText(c.status), nullptr) << c.status;
        } else {
            EXPECT_STREQ(StatusText(c.status), c.text) << c.status;
        }
    }
}

TEST(ServerRecord, ClassesOfCodes) {
    const struct {
        int32_t status;
        bool answered, kept, counted, outcome;
    } cases[] = {
        {None, false, false, false, false},       {WinsockError, false, false, false, true},
        {Interrupted, false, false, false, true}, {Rejected, true, false, false, true},
        {Tested, true, true, false, true},        {Used, true, true, true, true},
        {103, false, false, false, true},         {-5, false, false, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsAnswered(c.status), c.answered) << c.status;
        EXPECT_EQ(IsKeptByPruning(c.status), c.kept) << c.status;
        EXPECT_EQ(IsCountedInConsensus(c.status), c.counted) << c.status;
        EXPECT_EQ(HasOutcome(c.status), c.outcome) << c.status;
    }
}

TEST(ServerRecord, FreeSlotIsDecidedByFirstByteOnly) {
    ServerRecord record = {};
    EXPECT_TRUE(IsFreeSlot(record));
    snprintf(record.name, sizeof record.name, "old.example");
    EXPECT_FALSE(IsFreeSlot(record));
    record.name[0] = 0;
    EXPECT_TRUE(IsFreeSlot(record));
}

TEST(ServerRecord, StoredBytesAreLittleEndianAtTheirOffsets) {
    ServerRecord record = {};
    record.enabled = 1;
    record.status = Used;
    record.latency = 0x01020304;
    record.correction = -2;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    const unsigned char expected[] = {1, 0, 0, 0, 102,  0,    0,    0,    4,    3,    2,    1,
                                      0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (size_t i = 0; i < sizeof expected; i++) {
        EXPECT_EQ(bytes[128 + i], expected[i]) << "byte " << 128 + i;
    }
}

} // namespace
