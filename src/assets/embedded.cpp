#include "assets/embedded.h"

#include "assets/embedded_data.h"
#include "http/response.h"
#include "os/clock.h"

void build_date_text(char* date)
{
    // A build time outside what a FILETIME can hold is dated at its nearest end.
    constexpr uint64_t last_second = ~0ULL / 10000000ULL;
    long long seconds = qn_build_time + (long long)filetime_unix_offset_s;
    if (seconds < 0) seconds = 0;
    uint64_t filetime = ((uint64_t)seconds < last_second ? (uint64_t)seconds : last_second) * 10000000ULL;
    civil_time utc;
    filetime_to_utc(filetime, &utc);
    format_http_date(&utc, date, http_date_capacity);
}

void set_embedded_date(embedded_file* record, const char* date)
{
    for (uint64_t i = 0; i < http_date_capacity; ++i) {
        char c = date[i];
        record->modified[i] = c;
        record->modified_lower[i] = (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c;
    }
}
