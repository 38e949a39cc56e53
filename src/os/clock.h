// Clocks: the monotonic clock for deadlines and the wall clock for dates.
// Wall-clock instants are FILETIME values (100 ns units since 1601-01-01 UTC),
// the one time format inside the program.
#pragma once
#include <cstdint>

// A broken-down time; month 0-11, weekday 0-6 with Sunday 0.
struct civil_time {
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t weekday;
};

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t filetime_unix_offset_s = 11644473600ULL;

// Nanoseconds on the monotonic clock.
uint64_t clock_monotonic_ns();
// The current wall-clock time as FILETIME.
uint64_t clock_filetime_now();
// Converts a FILETIME to UTC; 0 on success, -1 (all fields zero) when it cannot.
int filetime_to_utc(uint64_t filetime, civil_time* out);
// The current local time.
void clock_local_time(civil_time* out);
// Sleeps the calling thread.
void sleep_ms(uint32_t ms);
