#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "time/duration.h"

namespace {

std::string Format(int64_t v) {
    char text[DURATION_TEXT_SIZE + 8];
    memset(text, 'x', sizeof text);
    FormatDuration(v, text);
    EXPECT_LT(strlen(text), size_t{DURATION_TEXT_SIZE});
    return text;
}

TEST(Duration, FormatWorkedExamples) {
    const struct {
        int64_t value;
        const char* text;
    } cases[] = {
        {0, " 0.0s"},
        {44, " 0.0s"},
        {-44, " 0.0s"},
        {49, " 0.0s"},
        {50, "+0.1s"},
        {-50, "-0.1s"},
        {149, "+0.1s"},
        {150, "+0.2s"},
        {1000, "+1.0s"},
        {1249, "+1.2s"},
        {1250, "+1.3s"},
        {9950, "+10.0s"},
        {99950, "+100.0s"},
        {119999, "+120.0s"},
        {120000, "+2.00m"},
        {123456, "+2.06m"},
        {150000, "+2.50m"},
        {-120000, "-2.00m"},
        {3600000, "+60.00m"},
        {-5000000, "-83.33m"},
        {7199999, "+120.00m"},
        {7200000, "+2.00h"},
        {86400000, "+24.00h"},
        {172799999, "+48.00h"},
        {172800000, "+2.00d"},
        {2592000000, "+30.00d"},
        {4294967296, "+49.71d"},
        {31536000000, "+365.00d"},
        {INT64_MAX, "+106751991167.30d"},
        // The one value without a positive counterpart: magnitude 2^63.
        {INT64_MIN, "-106751991167.30d"},
        {INT64_MIN + 1, "-106751991167.30d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Format(c.value), c.text) << c.value;
    }
}

TEST(Duration, ParseWorkedExamples) {
    const struct {
        const char* text;
        int64_t value;
    } cases[] = {
        {"", 0},
        {"2", 2000},
        {"90", 90000},
        {"1.5m", 90000},
        {"1.5 h", 5400000},
        {"-3.25", -3250},
        {"-0.5m", -30000},
        {"2d", 172800000},
        {"12.34d", 1066176000},
        {"1.2345", 1234},
        {"0.0009", 0},
        {"1.2.3", 1230},
        {"--1", 1000},
        {"m5", 5000},
        {"1h30m", 21601800000},
        {"12:30", 1230000},
        {"+1.2s", 1200},
        {" 0.0s", 0},
        {"+2.50m", 150000},
        {"-2.00d", -172800000},
        {"abc", 0},
        {"1H", 3600000},
        {"1D", 86400000},
        {"1M", 60000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseDuration(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(Duration, ParseWrapsWithoutUndefinedBehaviour) {
    // 2^64 + 5 seconds wraps to 5 seconds; the sanitizers watch the arithmetic.
    EXPECT_EQ(ParseDuration("18446744073709551621"), 5000);
    EXPECT_EQ(ParseDuration("18446744073709551616"), 0);
    // 2^53 days is 2^53 * 86400000 ms: the product wraps modulo 2^64.
    EXPECT_EQ(ParseDuration("9007199254740992d"),
              static_cast<int64_t>((uint64_t{1} << 53) * 86400u * 1000u));
    // Anything goes, but every text gives a number.
    std::mt19937 random(7);
    for (int i = 0; i < 20000; i++) {
        char text[24];
        for (char& c : text) {
            c = static_cast<char>(" 0123456789.-+dhmsDHMx:"[random() % 23]);
        }
        text[random() % 24] = 0;
        text[23] = 0;
        ParseDuration(text);
    }
}

int64_t StepOf(char unit) {
    switch (unit) {
    case 's':
        return 100;
    case 'm':
        return 600;
    case 'h':
        return 36000;
    default:
        return 864000;
    }
}

int64_t NextUnitAt(char unit) {
    switch (unit) {
    case 's':
        return 120000;
    case 'm':
        return 7200000;
    case 'h':
        return 172800000;
    default:
        return INT64_MAX;
    }
}

TEST(Duration, RoundTripOverRandomValues) {
    const char* env = getenv("DURATION_SEED");
    const uint64_t seed = env != nullptr ? strtoull(env, nullptr, 10) : 20261207;
    printf("duration round trip seed %llu (set DURATION_SEED to repeat another)\n",
           static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);
    for (int i = 0; i < 200000; i++) {
        // Spread the magnitudes over every unit: a random number of random bits.
        int bits = static_cast<int>(random() % 64);
        int64_t v = static_cast<int64_t>(random() >> (63 - bits) >> 1);
        if (random() & 1) {
            v = -v;
        }
        std::string text = Format(v);
        char unit = text.back();
        int64_t shown = ParseDuration(text.c_str());
        // What is shown is v rounded to the unit's step, after the quotient was truncated.
        uint64_t error = shown > v ? static_cast<uint64_t>(shown) - static_cast<uint64_t>(v)
                                   : static_cast<uint64_t>(v) - static_cast<uint64_t>(shown);
        ASSERT_LE(error, static_cast<uint64_t>(StepOf(unit)) * 6 / 10) << v << " " << text;
        std::string again = Format(shown);
        uint64_t magnitude =
            shown < 0 ? 0 - static_cast<uint64_t>(shown) : static_cast<uint64_t>(shown);
        if (magnitude < static_cast<uint64_t>(NextUnitAt(unit))) {
            ASSERT_EQ(again, text) << v;
        } else {
            // Only at a threshold: the next unit takes over (120.0s parses to 2.00m).
            ASSERT_NE(again.back(), unit) << v << " " << text;
        }
        ASSERT_EQ(ParseDuration(again.c_str()), shown) << v;
    }
}

TEST(Duration, NormalisingTwiceIsStableExceptAtThreshold) {
    EXPECT_EQ(Format(ParseDuration("1.5m")), "+90.0s");
    EXPECT_EQ(Format(ParseDuration("")), " 0.0s");
    std::string once = Format(ParseDuration("119.99"));
    EXPECT_EQ(once, "+120.0s");
    EXPECT_EQ(Format(ParseDuration(once.c_str())), "+2.00m");
}

TEST(Duration, SignDependsOnlyOnValue) {
    for (int64_t v : {int64_t{50}, int64_t{123456}, int64_t{7200000}, int64_t{4294967296}}) {
        std::string plus = Format(v), minus = Format(-v);
        EXPECT_EQ(plus[0], '+');
        EXPECT_EQ(minus[0], '-');
        EXPECT_EQ(plus.substr(1), minus.substr(1));
    }
}

} // namespace
