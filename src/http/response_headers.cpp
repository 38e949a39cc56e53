#include <cstring>

#include "assets/embedded.h"
#include "content/mime_types.h"
#include "core/settings.h"
#include "http/response.h"
#include "http/status_table.h"

namespace {

constexpr uint64_t filetime_per_second = 10000000;

const char day_names[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char month_names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The write position in a header block and the room behind it. Once a piece
// does not fit, every later piece is skipped, so the builder checks only once.
struct block_writer {
    char* p;       // next byte to write
    uint64_t room; // bytes left up to the capacity
    bool failed;   // a piece did not fit
};

void put(block_writer* w, const char* text, uint64_t length)
{
    if (w->failed) return;
    if (length > w->room) {
        w->failed = true;
        return;
    }
    std::memcpy(w->p, text, length);
    w->p += length;
    w->room -= length;
}

template <uint64_t n>
void put(block_writer* w, const char (&text)[n])
{
    put(w, text, n - 1);
}

void put_text(block_writer* w, const char* text)
{
    put(w, text, std::strlen(text));
}

void put_decimal(block_writer* w, uint64_t value)
{
    if (w->failed) return;
    char* p = w->p;
    if (format_decimal(&p, w->room, value) != 0) {
        w->failed = true;
        return;
    }
    w->room -= (uint64_t)(p - w->p);
    w->p = p;
}

void put_extra_headers(block_writer* w)
{
    if (w->failed) return;
    int64_t copied = extra_headers_copy(w->p, w->room);
    if (copied < 0 || (uint64_t)copied > w->room) {
        w->failed = true;
        return;
    }
    w->p += copied;
    w->room -= (uint64_t)copied;
}

template <uint64_t n>
void put_line(block_writer* w, const char (&name)[n], const char* value, uint64_t length)
{
    put(w, name);
    put(w, value, length);
    put(w, "\r\n");
}

// The wall clock as date text. Date, Expires and Last-Modified each read the
// clock; within one second the text is the same, so it is formatted only once.
struct clock_text {
    bool valid;                      // text holds a formatted time
    uint64_t second;                 // the FILETIME second it shows
    uint64_t length;                 // bytes of text
    char text[http_date_capacity];   // the date and a NUL
};

void read_clock(clock_text* clock)
{
    uint64_t second = clock_filetime_now() / filetime_per_second;
    if (clock->valid && clock->second == second) return;
    civil_time utc;
    filetime_to_utc(second * filetime_per_second, &utc);
    clock->length = format_http_date(&utc, clock->text, sizeof(clock->text));
    clock->second = second;
    clock->valid = true;
}

// Fields outside these ranges would index past the name tables or widen the
// text beyond its 29 bytes; such a time is written as the all-zero time.
bool date_fields_valid(const civil_time* t)
{
    return t->year >= 0 && t->year <= 9999 && t->month >= 0 && t->month <= 11 && t->day >= 0 &&
           t->day <= 31 && t->hour >= 0 && t->hour <= 23 && t->minute >= 0 && t->minute <= 59 &&
           t->second >= 0 && t->second <= 60 && t->weekday >= 0 && t->weekday <= 6;
}

char* put_name(char* p, const char (&name)[4])
{
    p[0] = name[0];
    p[1] = name[1];
    p[2] = name[2];
    return p + 3;
}

// One or two digits, without a leading zero.
char* put_short_number(char* p, int32_t value)
{
    if (value >= 10) *p++ = (char)('0' + value / 10);
    *p++ = (char)('0' + value % 10);
    return p;
}

char* put_two_digits(char* p, int32_t value)
{
    p[0] = (char)('0' + value / 10);
    p[1] = (char)('0' + value % 10);
    return p + 2;
}

} // namespace

int format_decimal(char** p, uint64_t room, uint64_t value)
{
    char digits[20]; // UINT64_MAX has 20 digits
    uint64_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (room <= 1 || room < count + 1) return -1;
    char* out = *p;
    for (uint64_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    out[count] = '\0';
    *p = out + count;
    return 0;
}

uint64_t format_http_date(const civil_time* utc, char* buffer, uint64_t room)
{
    if (room < http_date_capacity) return 0;
    civil_time t = *utc;
    if (!date_fields_valid(&t)) t = civil_time{};
    char* p = put_name(buffer, day_names[t.weekday]);
    *p++ = ',';
    *p++ = ' ';
    p = put_short_number(p, t.day);
    *p++ = ' ';
    p = put_name(p, month_names[t.month]);
    *p++ = ' ';
    p = put_two_digits(p, t.year / 100);
    p = put_two_digits(p, t.year % 100);
    *p++ = ' ';
    p = put_short_number(p, t.hour);
    *p++ = ':';
    p = put_two_digits(p, t.minute);
    *p++ = ':';
    p = put_two_digits(p, t.second);
    std::memcpy(p, " GMT", 5);
    return (uint64_t)(p + 4 - buffer);
}

uint64_t build_response_headers(response_record* response, char* buffer, uint64_t capacity,
                                int32_t status, int32_t type, uint64_t content_length,
                                bool keep_alive, bool short_form, const byte_range* range,
                                const uint64_t* write_time, const embedded_file* asset,
                                const char* charset, const char* location)
{
    if (buffer == nullptr || capacity == 0) return 0;
    block_writer w{buffer, capacity, false};

    const char* status_line = "";
    if (status >= 0 && status < status_count) status_line = status_lines[status];
    else w.failed = true;
    put(&w, "HTTP/1.1 ");
    put_text(&w, status_line);
    put(&w, "\r\nServer: quillnestweb\r\nContent-Type: ");
    put_text(&w, mime_type_text(type));
    if (charset != nullptr) {
        put(&w, "; charset=");
        put_text(&w, charset);
    }
    put(&w, "\r\n");

    if (status < status_first_failure) {
        put(&w, "X-Content-Type-Options: nosniff\r\n"
                "X-Frame-Options: SAMEORIGIN\r\n"
                "Referrer-Policy: strict-origin-when-cross-origin\r\n");
        put_extra_headers(&w);
    }

    if (short_form && location != nullptr) {
        // A redirect target comes from the request (path, Host); a CR or LF
        // in it would let the client inject header lines of its own.
        if (std::strpbrk(location, "\r\n") != nullptr) w.failed = true;
        put_line(&w, "Location: ", location, std::strlen(location));
    }

    if (!short_form && !w.failed) {
        clock_text clock{};
        read_clock(&clock);
        put_line(&w, "Date: ", clock.text, clock.length);
        // Expires equals Date: every answer is stale at once and caches revalidate.
        read_clock(&clock);
        put_line(&w, "Expires: ", clock.text, clock.length);
        if (write_time != nullptr) {
            civil_time utc;
            filetime_to_utc(*write_time, &utc);
            char text[http_date_capacity];
            uint64_t length = format_http_date(&utc, text, sizeof(text));
            put_line(&w, "Last-Modified: ", text, length);
        } else if (asset != nullptr) {
            const void* nul = std::memchr(asset->modified, 0, http_date_capacity);
            uint64_t length = nul ? (uint64_t)((const char*)nul - asset->modified) : http_date_capacity;
            put_line(&w, "Last-Modified: ", asset->modified, length);
        } else {
            read_clock(&clock);
            put_line(&w, "Last-Modified: ", clock.text, clock.length);
        }
    }

    if (response->secure) {
        if (g_upgrade_hsts_in_effect.load(std::memory_order_relaxed)) {
            put(&w, "Content-Security-Policy: upgrade-insecure-requests\r\n"
                    "Strict-Transport-Security: max-age=63072000; includeSubDomains; preload\r\n");
        } else {
            put(&w, "Strict-Transport-Security: max-age=0\r\n");
        }
    }

    if (keep_alive) put(&w, "Connection: keep-alive\r\n");
    else put(&w, "Connection: close\r\n");

    if (response->encoding_br) put(&w, "Content-Encoding: br\r\n");
    else if (response->encoding_gzip) put(&w, "Content-Encoding: gzip\r\n");
    // With variants on, the body depends on Accept-Encoding and Accept, and a
    // shared cache must not hand a ".br" body to a client that cannot decode it.
    if (response->negotiated && g_min_gz.load(std::memory_order_relaxed))
        put(&w, "Vary: Accept-Encoding, Accept\r\n");

    if (range != nullptr) {
        put(&w, "Accept-Ranges: bytes\r\n");
        if (status == status_partial_content || status == status_range_not_satisfiable) {
            put(&w, "Content-Range: bytes ");
            put_decimal(&w, range->first);
            put(&w, "-");
            put_decimal(&w, range->last);
            put(&w, "/");
            put_decimal(&w, content_length);
            put(&w, "\r\n");
            content_length = range->last - range->first + 1;
        }
    }

    if (content_length == content_length_chunked) {
        put(&w, "Transfer-Encoding: chunked\r\n");
    } else {
        put(&w, "Content-Length: ");
        put_decimal(&w, content_length);
        put(&w, "\r\n");
    }
    put(&w, "\r\n");

    if (w.failed) {
        std::memset(w.p, 0, w.room);
        return 0;
    }
    if (w.room != 0) *w.p = '\0';
    return (uint64_t)(w.p - buffer);
}
