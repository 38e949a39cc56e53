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

int filetime_to_utc(uint64_t filetime, civil_time* out)
{
    std::memset(out, 0, sizeof(*out));
    time_t seconds = (time_t)(filetime / 10000000ULL) - (time_t)filetime_unix_offset_s;
    tm t;
    if (!gmtime_r(&seconds, &t)) return -1;
    from_tm(t, out);
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
