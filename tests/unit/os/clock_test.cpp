// FILETIME to a UTC date, checked against the C library over a wide span.
#include <gtest/gtest.h>

#include <ctime>

#include "os/clock.h"

namespace {

uint64_t filetime_of(int64_t unix_seconds)
{
    return (uint64_t)(unix_seconds + (int64_t)filetime_unix_offset_s) * 10000000ULL;
}

TEST(Clock, FiletimeToUtcMatchesTheCalendar)
{
    const int64_t samples[] = {
        -11644473600LL, // 1601-01-01, FILETIME 0
        -86400, 0, 59, 951782400 /* 2000-02-29 */, 951868800 /* 2000-03-01 */,
        1741248309 /* 2025-03-06 08:05:09 */, 4102444800LL /* 2100-01-01 */, 253402300799LL,
    };
    for (int64_t s : samples) {
        civil_time c;
        ASSERT_EQ(filetime_to_utc(filetime_of(s), &c), 0);
        time_t t = (time_t)s;
        tm expected;
        ASSERT_NE(gmtime_r(&t, &expected), nullptr);
        EXPECT_EQ(c.year, expected.tm_year + 1900) << s;
        EXPECT_EQ(c.month, expected.tm_mon) << s;
        EXPECT_EQ(c.day, expected.tm_mday) << s;
        EXPECT_EQ(c.hour, expected.tm_hour) << s;
        EXPECT_EQ(c.minute, expected.tm_min) << s;
        EXPECT_EQ(c.second, expected.tm_sec) << s;
        EXPECT_EQ(c.weekday, expected.tm_wday) << s;
    }
    // Every 97th day from 1601 to 2770, at one second before midnight.
    for (int64_t day = -134774; day < 2 * 146097; day += 97) {
        int64_t s = day * 86400 + 86399;
        civil_time c;
        filetime_to_utc(filetime_of(s), &c);
        time_t t = (time_t)s;
        tm expected;
        gmtime_r(&t, &expected);
        ASSERT_EQ(c.year, expected.tm_year + 1900) << s;
        ASSERT_EQ(c.month, expected.tm_mon) << s;
        ASSERT_EQ(c.day, expected.tm_mday) << s;
        ASSERT_EQ(c.weekday, expected.tm_wday) << s;
    }
}

} // namespace
