#include "os/clock.h"

#include <time.h>

#include <cstring>

uint64_t clock_monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

uint64_t clock_filetime_now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ((uint64_t)ts.tv_sec + filetime_unix_offset_s) * 10000000ULL + (uint64_t)ts.tv_nsec / 100;
}

static void from_tm(const tm& t, civil_time* out)
{
    out->year = t.tm_year + 1900;
    out->month = t.tm_mon;
    out->day = t.tm_mday;
    out->hour = t.tm_hour;
    out->minute = t.tm_min;
    out->second = t.tm_sec;
    out->weekday = t.tm_wday;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian). Pure
// arithmetic: the C library's gmtime takes the time-zone lock and may allocate
// on its first call, neither of which belongs on the request path.
int filetime_to_utc(uint64_t filetime, civil_time* out)
{
    std::memset(out, 0, sizeof(*out));
    int64_t seconds = (int64_t)(filetime / 10000000ULL) - (int64_t)filetime_unix_offset_s;
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    out->year = (int32_t)year;
    out->month = (int32_t)(month - 1);
    out->day = (int32_t)day;
    out->hour = (int32_t)(rest / 3600);
    out->minute = (int32_t)(rest / 60 % 60);
    out->second = (int32_t)(rest % 60);
    int64_t weekday = (days + 4) % 7; // 1970-01-01 was a Thursday
    out->weekday = (int32_t)(weekday < 0 ? weekday + 7 : weekday);
    return 0;
}

void clock_local_time(civil_time* out)
{
    time_t now = time(nullptr);
    tm t;
    std::memset(out, 0, sizeof(*out));
    if (localtime_r(&now, &t)) from_tm(t, out);
}

void sleep_ms(uint32_t ms)
{
    timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
