#include <gtest/gtest.h>

#include "platform/sim/sim.h"
#include "tests/fakes/fakes.h"
#include "time/timebase.h"

TEST(Placeholder, Builds) { SimReset(); ResetFakes(); EXPECT_EQ(FileTimeToMs1900(uint64_t{EPOCH_DISTANCE_MS} * 10000), 0); }
