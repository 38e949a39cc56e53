// The request parser: cuts a request into the request record in place, inside
// the slot's receive buffer, and picks up where it stopped when the request
// arrives in several receives.
#include <cstring>

#include "core/text.h"
#include "http/request.h"

namespace {

template <uint64_t n>
constexpr bool sorted(const char* const (&table)[n])
{
    for (uint64_t i = 1; i < n; ++i)
        if (compare_units(table[i - 1], table[i]) >= 0) return false;
    return true;
}

template <uint64_t n>
int64_t lookup(const char* const (&table)[n], const char* key)
{
    return find_sorted(table, n, key);
}

constexpr const char* method_table[] = {
    "CONNECT", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT", "TRACE",
};
static_assert(sorted(method_table));
static_assert(sizeof method_table / sizeof *method_table == method_trace + 1);

constexpr const char* version_table[] = {"HTTP/1.0", "HTTP/1.1"};
static_assert(sorted(version_table));

constexpr const char* header_table[] = {
    "accept", "accept-encoding", "accept-language", "cache-control", "connection",
    "content-length", "content-type", "cookie", "forwarded", "from", "host",
    "http2-settings", "if-modified-since", "if-none-match", "origin", "pragma", "range",
    "referer", "scheme", "sec-websocket-extensions", "sec-websocket-key",
    "sec-websocket-key1", "sec-websocket-key2", "sec-websocket-protocol",
    "sec-websocket-version", "upgrade", "upgrade-insecure-requests", "user-agent", "via",
    "x-forwarded-for", "x-playback-session-id",
};
static_assert(sorted(header_table));

// Index of each name in header_table.
enum : int64_t {
    h_accept,
    h_accept_encoding,
    h_accept_language,
    h_cache_control,
    h_connection,
    h_content_length,
    h_content_type,
    h_cookie,
    h_forwarded,
    h_from,
    h_host,
    h_http2_settings,
    h_if_modified_since,
    h_if_none_match,
    h_origin,
    h_pragma,
    h_range,
    h_referer,
    h_scheme,
    h_sec_websocket_extensions,
    h_sec_websocket_key,
    h_sec_websocket_key1,
    h_sec_websocket_key2,
    h_sec_websocket_protocol,
    h_sec_websocket_version,
    h_upgrade,
    h_upgrade_insecure_requests,
    h_user_agent,
    h_via,
    h_x_forwarded_for,
    h_x_playback_session_id,
    header_count
};
static_assert(sizeof header_table / sizeof *header_table == header_count);

// Connection tokens; any other token, "close" included, means nothing here.
constexpr const char* connection_table[] = {"http2-settings", "keep-alive", "upgrade"};
static_assert(sorted(connection_table));

// Upgrade values; the stored number is the index plus one, 0 for anything else.
constexpr const char* upgrade_table[] = {"h2c", "websocket"};
static_assert(sorted(upgrade_table));

// Range units in byte order; only "bytes" yields a range.
constexpr const char* range_unit_table[] = {"bytes", "none"};
static_assert(sorted(range_unit_table));
constexpr int64_t range_unit_bytes = 0;

// Parameter names searched in Cache-Control and Forwarded.
constexpr const char* max_age_table[] = {"max-age"};
constexpr const char* for_table[] = {"for"};

enum : int32_t { state_after_line = 0, state_method = 1, state_line = 2 };

// A method has at most 7 letters.
constexpr uint64_t longest_method = 7;
// A body that has not arrived while the buffer is full to within this many
// bytes is served as far as it came.
constexpr int64_t body_room = 16;

bool incomplete(request_record* r, char* end)
{
    r->complete = false;
    r->pending_end = end;
    return false;
}

// 400, or 405 when refused_method is set.
bool rejected(request_record* r)
{
    r->complete = true;
    r->accepted = false;
    r->pending_end = nullptr;
    return false;
}

// No answer at all; whatever arrives next starts a new request.
bool dropped(request_record* r)
{
    r->complete = false;
    r->pending_end = nullptr;
    return false;
}

// No byte can arrive behind `end`: the receive loop keeps the buffer's last
// byte for the NUL.
bool buffer_full(const char* end, const char* buffer_end)
{
    return buffer_end - end <= 1;
}

// More data may still finish the request line or header block, unless the
// 8192-byte limit has been reached or the buffer is full.
bool wait_or_reject(request_record* r, char* data, char* end, char* buffer_end)
{
    if ((uint64_t)(end - data) >= request_scan_limit || buffer_full(end, buffer_end)) return rejected(r);
    return incomplete(r, end);
}

// While a search runs, a NUL stands in for the byte at the 8192-byte limit so
// that the NUL-bounded searches stop there. Returns true when it was placed.
bool close_limit(request_record* r, char* end)
{
    if (r->scan_limit >= end) return false;
    r->saved_byte = (uint8_t)*r->scan_limit;
    *r->scan_limit = 0;
    return true;
}

void open_limit(request_record* r)
{
    *r->scan_limit = (char)r->saved_byte;
    r->saved_byte = 0;
}

// Leading spaces, an optional sign, then digits up to the first other byte;
// no digits gives 0. Values outside the signed 32-bit range saturate and set
// *overflow.
int32_t to_int32(const char* p, bool* overflow)
{
    while (*p == ' ') ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    const int64_t bound = negative ? 2147483648 : 2147483647;
    int64_t value = 0;
    *overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > bound) {
            value = bound;
            *overflow = true;
        }
    }
    return (int32_t)(negative ? -value : value);
}

// Digits up to the first other byte; saturates instead of wrapping.
uint64_t to_uint64(const char* p)
{
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t digit = (uint64_t)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

bool word_then_end_or_amp(const char* query, const char* word, uint64_t n)
{
    return std::strncmp(query, word, n) == 0 && (query[n] == 0 || query[n] == '&');
}

// Walks "name=value" parameters: a name runs from the current position to the
// next "=", its value to the next space. Cuts both in place and returns the
// value of the last parameter with the name in `name_table`, or null.
char* find_parameter(char* p, const char* const (&name_table)[1])
{
    char* found = nullptr;
    for (;;) {
        char* equals = std::strchr(p, '=');
        if (!equals) return found;
        *equals = 0;
        char* value = equals + 1;
        char* space = std::strchr(value, ' ');
        if (space) *space = 0;
        if (lookup(name_table, p) == 0) found = value;
        if (!space) return found;
        p = space + 1;
        while (*p == ' ') ++p;
    }
}

void store_connection(request_record* r, char* token)
{
    for (;;) {
        char* comma = std::strchr(token, ',');
        if (comma) *comma = 0;
        switch (lookup(connection_table, token)) {
        case 0: r->conn_http2_settings = true; break;
        case 1: r->keep_alive = true; break;
        case 2: r->conn_upgrade = true; break;
        default: break;
        }
        if (!comma) return;
        token = comma + 1;
        while (*token == ' ') ++token;
    }
}

void store_range(request_record* r, char* value)
{
    char* equals = std::strchr(value, '=');
    if (!equals) return;
    *equals = 0;
    // A later Range header replaces an earlier one as a whole.
    r->range_first = 0;
    r->range_last = 0;
    if (lookup(range_unit_table, value) != range_unit_bytes) {
        r->range_unit = 0;
        return;
    }
    r->range_unit = 1;
    char* dash = std::strchr(equals + 1, '-');
    if (!dash) return;
    *dash = 0;
    r->range_first = to_uint64(equals + 1);
    r->range_last = to_uint64(dash + 1);
}

// Stores one header value. *bad_length tells whether this Content-Length is
// negative or beyond 32 bits: taken as it is, it would send the receive loop
// and the POST echo outside the received data.
void store_header(request_record* r, int64_t index, char* value, char* value_end, bool* bad_length)
{
    switch (index) {
    case h_accept:
        r->accept = value;
        r->accepts_webp = std::strstr(value, "webp") != nullptr;
        break;
    case h_accept_encoding:
        r->accept_encoding = value;
        r->accepts_br = std::strstr(value, "br") != nullptr;
        r->accepts_gzip = std::strstr(value, "gzip") != nullptr;
        break;
    case h_accept_language: r->accept_language = value; break;
    case h_cache_control: {
        char* max_age = find_parameter(value, max_age_table);
        bool overflow;
        if (max_age) r->max_age = to_int32(max_age, &overflow);
        break;
    }
    case h_connection: store_connection(r, value); break;
    case h_content_length: {
        bool overflow;
        int32_t length = to_int32(value, &overflow);
        *bad_length = overflow || length < 0;
        r->content_length = *bad_length ? 0 : length;
        break;
    }
    case h_content_type: r->content_type = value; break;
    case h_cookie: r->cookie = value; break;
    case h_forwarded: {
        char* forwarded_for = find_parameter(value, for_table);
        if (forwarded_for) r->forwarded_for = forwarded_for;
        break;
    }
    case h_from: r->from = value; break;
    case h_host:
        r->host = value;
        r->hostname_length = (uint64_t)(value_end - value);
        break;
    case h_http2_settings: r->http2_settings = value; break;
    case h_if_modified_since: r->if_modified_since = value; break;
    case h_if_none_match: r->if_none_match = value; break;
    case h_origin: r->origin = value; break;
    case h_pragma: r->pragma = value; break;
    case h_range: store_range(r, value); break;
    case h_referer: r->referer = value; break;
    case h_scheme: r->scheme = value; break;
    case h_sec_websocket_extensions: r->sec_websocket_extensions = value; break;
    case h_sec_websocket_key: r->sec_websocket_key = value; break;
    case h_sec_websocket_key1: r->sec_websocket_key1 = value; break;
    case h_sec_websocket_key2: r->sec_websocket_key2 = value; break;
    case h_sec_websocket_protocol: r->sec_websocket_protocol = value; break;
    case h_sec_websocket_version: {
        bool overflow;
        r->websocket_version = to_int32(value, &overflow);
        break;
    }
    case h_upgrade: r->upgrade = (uint32_t)(lookup(upgrade_table, value) + 1); break;
    case h_upgrade_insecure_requests: r->upgrade_insecure = value[0] == '1'; break;
    case h_user_agent: r->user_agent = value; break;
    case h_via: r->via = value; break;
    case h_x_forwarded_for: r->x_forwarded_for = value; break;
    case h_x_playback_session_id: r->x_playback_session_id = value; break;
    default: break;
    }
}

// Body, query and verdict: everything after the header block is known.
bool finish(request_record* r, char* end, char* buffer_end)
{
    uint64_t present = (uint64_t)(end - r->body_start);
    if ((uint64_t)r->content_length > present) {
        if (buffer_end - end > body_room) return incomplete(r, end);
        // With no body byte present, body_received could not tell the receive
        // loop and the POST echo that the body was cut short: wait for one
        // while there is room, refuse when the buffer is full.
        if (present == 0) return buffer_full(end, buffer_end) ? rejected(r) : incomplete(r, end);
        r->body_received = present;
    }
    char* mark = std::strchr(r->path, '?');
    if (mark) {
        *mark = 0;
        char* query = mark + 1;
        r->query = query;
        r->path_length = (uint64_t)(mark - r->path);
        r->query_length = r->target_length - r->path_length - 1;
        r->query_debug = std::strcmp(query, "dbg") == 0 || std::strcmp(query, "debug") == 0;
        r->query_download = word_then_end_or_amp(query, "down", 4) ||
                            word_then_end_or_amp(query, "download", 8);
        r->query_view = word_then_end_or_amp(query, "view", 4);
    }
    r->complete = true;
    r->pending_end = nullptr;
    r->accepted = r->version != version_http11 || r->host != nullptr;
    return true;
}

// Turns "A" to "Z" in [p, end) into "a" to "z", eight bytes at a time: a byte
// is upper case when its high bit is clear, adding 63 sets that bit (it is at
// least "A") and adding 37 does not (it is at most "Z").
void lower_case(char* p, char* end)
{
    constexpr uint64_t ones = 0x0101010101010101;
    constexpr uint64_t high_bits = 0x8080808080808080;
    for (; end - p >= 8; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        uint64_t low = word & ~high_bits;
        uint64_t upper = (low + (0x80 - 'A') * ones) & ~(low + (0x80 - 'Z' - 1) * ones) & ~word & high_bits;
        word |= upper >> 2;
        std::memcpy(p, &word, 8);
    }
    for (; p < end; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = (char)(*p + ('a' - 'A'));
}

// The header block is [block, body) and ends in NUL: lower-case it, then
// store the lines.
bool parse_header_lines(request_record* r, char* block, char* end, char* buffer_end)
{
    // The only NULs in the block are those of its terminator.
    lower_case(block, r->body_start);
    bool bad_length = false;
    char* line = block;
    while (*line) {
        // The name may run over line ends: the colon is searched in the whole block.
        char* colon = std::strchr(line, ':');
        if (!colon) return dropped(r);
        *colon = 0;
        char* value = colon + 1;
        while (*value == ' ') ++value;
        char* lf = std::strchr(value, '\n');
        if (!lf) return dropped(r);
        *lf = 0;
        char* value_end = lf;
        if (lf[-1] == '\r') *--value_end = 0;
        store_header(r, lookup(header_table, line), value, value_end, &bad_length);
        line = lf + 1;
    }
    // Only the last Content-Length counts, as for every repeated header.
    if (bad_length) return rejected(r);
    return finish(r, end, buffer_end);
}

// Looks for the empty line that ends the header block, from `from` on; a
// terminator that began before `from` (the end of the previous data) must
// have its first line end at or after it.
bool parse_header_block(request_record* r, char* data, char* end, char* buffer_end, char* from)
{
    r->complete = false;
    char* block = r->resume_at;
    char* body = nullptr;
    bool limited = close_limit(r, end);
    char* stop = limited ? r->scan_limit : end;
    char* p = from;
    // The request line's own line end is already NUL, so an empty block shows
    // as a line end right at the start.
    if (block[0] == '\n') {
        block[0] = 0;
        body = block + 1;
    } else if (block[0] == '\r' && block[1] == '\n') {
        block[0] = 0;
        block[1] = 0;
        body = block + 2;
    } else {
        for (;; ++p) {
            p += std::strcspn(p, "\n");
            if (!*p) break;
            if (p[1] == '\n') {
                p[1] = 0;
                body = p + 2;
                break;
            }
            if (p[1] == '\r' && p[2] == '\n' && p[-1] == '\r') {
                p[1] = 0;
                p[2] = 0;
                body = p + 3;
                break;
            }
        }
    }
    if (limited) open_limit(r);
    if (!body) {
        // A NUL inside the block would cut every later search short.
        if (p < stop) return rejected(r);
        return wait_or_reject(r, data, end, buffer_end);
    }
    r->body_start = body;
    return parse_header_lines(r, block, end, buffer_end);
}

bool starts_with(const char* text, const char* prefix, uint64_t n)
{
    return std::strncmp(text, prefix, n) == 0;
}

// Finds the end of the request line from `from` on and takes the line apart:
// version, target form, then the header block or, without a version, the end.
bool parse_request_line(request_record* r, char* data, char* end, char* buffer_end, char* from)
{
    r->parse_state = state_line;
    bool limited = close_limit(r, end);
    char* stop = limited ? r->scan_limit : end;
    char* lf = from + std::strcspn(from, "\n");
    bool found = *lf == '\n';
    if (limited) open_limit(r);
    if (!found) {
        // A NUL inside the line would hide its end.
        if (lf < stop) return rejected(r);
        return wait_or_reject(r, data, end, buffer_end);
    }
    *lf = 0;
    char* line_end = lf;
    if (lf > r->path && lf[-1] == '\r') *--line_end = 0;
    r->parse_state = state_after_line;
    r->target_length = r->path_length = (uint64_t)(line_end - r->path);

    // The version is the text behind the first space among the line's last 10
    // bytes, so a space inside the target does not hide it.
    char* window = line_end - r->path > 10 ? line_end - 10 : r->path;
    for (char* s = window; s < line_end; ++s) {
        if (*s != ' ') continue;
        *s = 0;
        r->target_length = r->path_length = (uint64_t)(s - r->path);
        r->version = (int32_t)lookup(version_table, s + 1);
        break;
    }

    if (r->path[0] != '/') {
        char* authority;
        if (starts_with(r->path, "https://", 8))
            authority = r->path + 8;
        else if (starts_with(r->path, "http://", 7))
            authority = r->path + 7;
        else
            return rejected(r);
        if (!authority[0]) return rejected(r);
        char* slash = std::strchr(authority + 1, '/');
        if (!slash) return rejected(r);
        char* target_end = r->path + r->target_length;
        r->authority = authority;
        r->authority_length = (uint64_t)(slash - authority);
        r->path = slash;
        r->target_length = r->path_length = (uint64_t)(target_end - slash);
    }

    // Both forms begin the target with "/", so a version-less line always has one.
    if (r->version == version_none) {
        r->body_start = lf + 1;
        return finish(r, end, buffer_end);
    }
    r->resume_at = lf + 1;
    return parse_header_block(r, data, end, buffer_end, lf + 1);
}

// A new request: the method is the token before the first space, which must
// come within the first 8 bytes.
bool parse_method(request_record* r, char* data, char* end, char* buffer_end)
{
    r->line_begin = data;
    r->resume_at = data;
    r->parse_state = state_method;
    r->complete = true;
    uint64_t room = (uint64_t)(buffer_end - data);
    r->scan_limit = data + (room < request_scan_limit ? room : request_scan_limit);
    uint64_t length = (uint64_t)(end - data);
    uint64_t scan = length < longest_method + 1 ? length : longest_method + 1;
    for (uint64_t i = 0; i < scan; ++i) {
        char c = data[i];
        if (c == ' ') {
            if (i + 1 == length) return wait_or_reject(r, data, end, buffer_end);
            data[i] = 0;
            r->method = (int32_t)lookup(method_table, data);
            r->path = data + i + 1;
            if (r->method == method_unknown) return rejected(r);
            if (r->method != method_get && r->method != method_head && r->method != method_post) {
                r->refused_method = true;
                return rejected(r);
            }
            return parse_request_line(r, data, end, buffer_end, r->path);
        }
        if (c < 'A' || c > 'Z') return rejected(r);
    }
    if (length > longest_method) return rejected(r);
    return wait_or_reject(r, data, end, buffer_end);
}

} // namespace

void reset_request(request_record* request)
{
    *request = request_record{};
    request->version = version_none;
}

bool parse_request(request_record* request, char* data, uint64_t length, char* buffer_end)
{
    request_record* r = request;
    if (!data || !buffer_end || buffer_end <= data || length >= (uint64_t)(buffer_end - data)) {
        reset_request(r);
        return rejected(r);
    }
    char* end = data + length;
    if (!r->pending_end) {
        reset_request(r);
        return parse_method(r, data, end, buffer_end);
    }
    // A partial request continues only over the same data, grown or not.
    char* previous_end = r->pending_end;
    if (r->line_begin != data || previous_end < data || previous_end > end) return rejected(r);
    r->pending_end = nullptr;
    if (r->body_start) return finish(r, end, buffer_end);
    switch (r->parse_state) {
    case state_method: return parse_method(r, data, end, buffer_end);
    case state_line: {
        // The bytes before the previous end held no LF.
        char* from = previous_end - r->path >= 1 ? previous_end - 1 : r->path;
        return parse_request_line(r, data, end, buffer_end, from);
    }
    default: {
        // A terminator may straddle the previous end: its first LF lies at
        // most two bytes before it.
        char* from = previous_end - r->resume_at >= 2 ? previous_end - 2 : r->resume_at;
        return parse_header_block(r, data, end, buffer_end, from);
    }
    }
}
