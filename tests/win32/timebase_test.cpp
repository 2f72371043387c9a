#include <windows.h>
#include <gtest/gtest.h>

#include "time/timebase.h"

TEST(Placeholder, Builds) { EXPECT_NE(NowMs(), 0); }
