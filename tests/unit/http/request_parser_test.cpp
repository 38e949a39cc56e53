// Request parser: verdicts, fields, limits and the resumption across receives.
// Every request is placed so that the NUL behind it is the last readable
// byte: the pages after it are inaccessible, so any over-read crashes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/request.h"

namespace {

constexpr uint64_t receive_size = 65536;

// One mapping for the whole program: readable up to `boundary`, inaccessible
// for a full receive buffer behind it, so buffer_end may lie in that part.
struct guard_area {
    char* base;     // start of the mapping
    char* boundary; // first inaccessible byte
};

guard_area& area()
{
    static guard_area a = [] {
        const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
        const uint64_t readable = receive_size + page;
        const uint64_t total = readable + receive_size + page;
        void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) abort();
        char* base = (char*)p;
        if (mprotect(base + readable, total - readable, PROT_NONE) != 0) abort();
        return guard_area{base, base + readable};
    }();
    return a;
}

// Copies the request so that the NUL behind it is the last readable byte.
char* place(const std::string& text)
{
    char* data = area().boundary - text.size() - 1;
    std::memcpy(data, text.data(), text.size());
    data[text.size()] = 0;
    return data;
}

enum class verdict { served, no_host, refused, malformed, incomplete, dropped };

const char* verdict_name(verdict v)
{
    switch (v) {
    case verdict::served: return "served";
    case verdict::no_host: return "no_host";
    case verdict::refused: return "refused";
    case verdict::malformed: return "malformed";
    case verdict::incomplete: return "incomplete";
    case verdict::dropped: return "dropped";
    }
    return "?";
}

std::ostream& operator<<(std::ostream& out, verdict v)
{
    return out << verdict_name(v);
}

// Reads the result and the three flags as the dispatcher does, checking that
// they form one of the five combinations the parser may give.
verdict classify(bool result, const request_record& r)
{
    if (result) {
        EXPECT_TRUE(r.complete);
        EXPECT_FALSE(r.refused_method);
        EXPECT_EQ(r.pending_end, nullptr);
        return r.accepted ? verdict::served : verdict::no_host;
    }
    EXPECT_FALSE(r.accepted);
    if (r.complete) {
        EXPECT_EQ(r.pending_end, nullptr);
        return r.refused_method ? verdict::refused : verdict::malformed;
    }
    EXPECT_FALSE(r.refused_method);
    return r.pending_end ? verdict::incomplete : verdict::dropped;
}

struct parsed {
    request_record r; // the record after the last call
    char* data;       // where the request was placed
    bool result;      // what the last call returned
    verdict v;        // the result read as the dispatcher reads it
};

// Parses `text` at once; the receive buffer ends `room` bytes after data.
parsed parse(const std::string& text, uint64_t room = receive_size)
{
    parsed p;
    p.data = place(text);
    reset_request(&p.r);
    p.result = parse_request(&p.r, p.data, text.size(), p.data + room);
    p.v = classify(p.result, p.r);
    return p;
}

// Feeds `text` as the receive loop would, in pieces ending at `cuts` (ascending,
// the last one text.size()). Bytes not yet received hold LF, so that a read
// past the NUL would change the result. Stops at the first verdict.
parsed parse_pieces(const std::string& text, const std::vector<uint64_t>& cuts, uint64_t* received)
{
    parsed p;
    p.data = area().boundary - text.size() - 1;
    std::memset(p.data, '\n', text.size() + 1);
    reset_request(&p.r);
    uint64_t have = 0;
    for (uint64_t cut : cuts) {
        std::memcpy(p.data + have, text.data() + have, cut - have);
        have = cut;
        p.data[have] = 0;
        if (!p.r.pending_end) reset_request(&p.r);
        p.result = parse_request(&p.r, p.data, have, p.data + receive_size);
        EXPECT_EQ(p.r.saved_byte, 0);
        if (!p.r.pending_end) break;
    }
    *received = have;
    p.v = classify(p.result, p.r);
    return p;
}

std::string text_of(const char* s)
{
    return s ? std::string(s) : std::string("(null)");
}

// ---------------------------------------------------------------- verdicts

struct verdict_case {
    const char* name;    // test name
    std::string request; // bytes received so far
    verdict expected;    // how the dispatcher must answer
};

const std::string host = "Host: example.org\r\n";

std::vector<verdict_case> verdict_cases()
{
    std::string long_line = "GET /" + std::string(8300, 'a');
    return {
        // methods
        {"get", "GET / HTTP/1.1\r\n" + host + "\r\n", verdict::served},
        {"head", "HEAD / HTTP/1.1\r\n" + host + "\r\n", verdict::served},
        {"post_without_body", "POST / HTTP/1.1\r\n" + host + "\r\n", verdict::served},
        {"lower_case_method", "get / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"mixed_case_method", "Get / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"eight_letters", "PROPFIND / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"eight_letters_so_far", "PROPFIND", verdict::malformed},
        {"seven_letters_so_far", "PROPFIN", verdict::incomplete},
        {"unknown_method", "BREW / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"digit_in_method", "G3T / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"leading_space", " GET / HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"put", "PUT / HTTP/1.1\r\n" + host + "\r\n", verdict::refused},
        {"options_star", "OPTIONS * HTTP/1.1\r\n" + host + "\r\n", verdict::refused},
        {"connect", "CONNECT example.org:443 HTTP/1.1\r\n\r\n", verdict::refused},
        {"delete", "DELETE /x HTTP/1.1\r\n", verdict::refused},
        {"patch", "PATCH /x HTTP/1.1\r\n", verdict::refused},
        {"trace", "TRACE / HTTP/1.1\r\n", verdict::refused},
        {"empty", "", verdict::incomplete},
        {"method_only", "GET", verdict::incomplete},
        {"space_last", "GET ", verdict::incomplete},
        {"target_begun", "GET /ind", verdict::incomplete},
        // versions and Host
        {"http11_without_host", "GET / HTTP/1.1\r\n\r\n", verdict::no_host},
        {"http10_without_host", "GET / HTTP/1.0\r\n\r\n", verdict::served},
        {"http10_lf_only", "GET / HTTP/1.0\n\n", verdict::served},
        {"no_version", "GET /readme.txt\r\n", verdict::served},
        {"unknown_version_ends_at_line", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", verdict::served},
        {"lower_case_version", "GET / http/1.1\r\n", verdict::served},
        {"header_block_pending", "GET / HTTP/1.1\r\nHost: a\r\n", verdict::incomplete},
        {"header_block_cr_pending", "GET / HTTP/1.1\r\nHost: a\r\n\r", verdict::incomplete},
        // targets
        {"relative_target", "GET index.html HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"empty_target", "GET  HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"empty_target_no_version", "GET \r\n", verdict::malformed},
        {"other_scheme", "GET ftp://a/b HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"upper_case_scheme", "GET HTTP://a/b HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"absolute_without_path", "GET http://a HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"absolute_without_authority", "GET http:// HTTP/1.1\r\n" + host + "\r\n", verdict::malformed},
        {"absolute_https", "GET https://a/b HTTP/1.1\r\n" + host + "\r\n", verdict::served},
        {"nul_in_target", std::string("GET /a\0b HTTP/1.1\r\n", 19) + host + "\r\n", verdict::malformed},
        {"nul_in_header", std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 29), verdict::malformed},
        {"nul_in_body", std::string("GET / HTTP/1.0\r\n\r\n\0", 19), verdict::served},
        {"non_ascii_method", "\xC3\x89T / HTTP/1.1\r\n", verdict::malformed},
        // limits
        {"line_of_8191_without_lf", std::string("GET /") + std::string(8186, 'a'), verdict::incomplete},
        {"line_of_8192_without_lf", std::string("GET /") + std::string(8187, 'a'), verdict::malformed},
        {"line_beyond_limit", long_line, verdict::malformed},
        {"lf_at_8191", std::string("GET /") + std::string(8186, 'a') + "\n", verdict::served},
        {"lf_at_8192", std::string("GET /") + std::string(8187, 'a') + "\n", verdict::malformed},
        // header lines
        {"header_without_colon", "GET / HTTP/1.1\r\n" + host + "Broken\r\n\r\n", verdict::dropped},
        {"only_line_without_colon", "GET / HTTP/1.0\r\nBroken\r\n\r\n", verdict::dropped},
        // without a colon of its own the name runs into the next line and hides Host
        {"colon_of_next_line", "GET / HTTP/1.1\r\nBroken\r\n" + host + "\r\n", verdict::no_host},
        {"header_name_with_space", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", verdict::no_host},
        // Content-Length
        {"length_negative", "POST / HTTP/1.1\r\n" + host + "Content-Length: -5\r\n\r\n", verdict::malformed},
        {"length_2_32", "POST / HTTP/1.1\r\n" + host + "Content-Length: 4294967296\r\n\r\n", verdict::malformed},
        {"length_2_31", "POST / HTTP/1.1\r\n" + host + "Content-Length: 2147483648\r\n\r\n", verdict::malformed},
        {"length_huge", "POST / HTTP/1.1\r\n" + host + "Content-Length: 99999999999\r\n\r\n", verdict::malformed},
        {"length_min_int", "POST / HTTP/1.1\r\n" + host + "Content-Length: -2147483648\r\n\r\n", verdict::malformed},
        {"length_largest", "POST / HTTP/1.1\r\n" + host + "Content-Length: 2147483647\r\n\r\n", verdict::incomplete},
        {"length_minus_zero", "POST / HTTP/1.1\r\n" + host + "Content-Length: -0\r\n\r\n", verdict::served},
        {"length_not_a_number", "POST / HTTP/1.1\r\n" + host + "Content-Length: abc\r\n\r\n", verdict::served},
        {"length_bad_then_good", "POST / HTTP/1.1\r\n" + host + "Content-Length: -5\r\nContent-Length: 2\r\n\r\nab", verdict::served},
        {"length_good_then_bad", "POST / HTTP/1.1\r\n" + host + "Content-Length: 2\r\nContent-Length: -5\r\n\r\nab", verdict::malformed},
        {"body_pending", "POST / HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nabc", verdict::incomplete},
        {"body_complete", "POST / HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nabcde", verdict::served},
        {"get_waits_for_its_body", "GET / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\n", verdict::incomplete},
    };
}

void PrintTo(const verdict_case& c, std::ostream* out)
{
    *out << c.name;
}

class verdicts : public testing::TestWithParam<verdict_case> {};

TEST_P(verdicts, match)
{
    const verdict_case& c = GetParam();
    parsed p = parse(c.request);
    EXPECT_EQ(p.v, c.expected);
    if (p.v == verdict::incomplete) {
        EXPECT_EQ(p.r.pending_end, p.data + c.request.size());
    }
}

INSTANTIATE_TEST_SUITE_P(request_parser, verdicts, testing::ValuesIn(verdict_cases()),
                         [](const testing::TestParamInfo<verdict_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(request_parser, refused_methods_keep_their_index)
{
    EXPECT_EQ(parse("PUT / HTTP/1.1\r\n").r.method, method_put);
    EXPECT_EQ(parse("OPTIONS * HTTP/1.1\r\n").r.method, method_options);
    EXPECT_EQ(parse("BREW / HTTP/1.1\r\n").r.method, method_unknown);
    EXPECT_EQ(parse("HEAD / HTTP/1.0\r\n\r\n").r.method, method_head);
}

// ------------------------------------------------------------ request line

struct line_case {
    const char* name;          // test name
    std::string request;       // a complete request
    int32_t version;           // expected fields from here on
    const char* path;
    uint64_t path_length;
    const char* query;         // null: no query
    uint64_t query_length;
    uint64_t target_length;
    const char* authority;     // the authority up to the path; null: origin form
    uint64_t authority_length;
};

std::vector<line_case> line_cases()
{
    return {
        {"origin", "GET /index.html HTTP/1.1\r\n" + host + "\r\n", version_http11, "/index.html", 11, nullptr, 0, 11, nullptr, 0},
        {"query", "GET /a/b?x=1&y HTTP/1.1\r\n" + host + "\r\n", version_http11, "/a/b", 4, "x=1&y", 5, 10, nullptr, 0},
        {"empty_query", "GET /a? HTTP/1.0\r\n\r\n", version_http10, "/a", 2, "", 0, 3, nullptr, 0},
        {"second_question_mark", "GET /a?b?c HTTP/1.0\r\n\r\n", version_http10, "/a", 2, "b?c", 3, 6, nullptr, 0},
        {"space_in_target", "GET /a b HTTP/1.1\r\n" + host + "\r\n", version_http11, "/a b", 4, nullptr, 0, 4, nullptr, 0},
        {"shortest", "GET / HTTP/1.1\r\n" + host + "\r\n", version_http11, "/", 1, nullptr, 0, 1, nullptr, 0},
        {"absolute", "GET http://host:8080/x?y HTTP/1.1\r\n" + host + "\r\n", version_http11, "/x", 2, "y", 1, 4, "host:8080", 9},
        {"absolute_https", "GET https://h/ HTTP/1.1\r\n" + host + "\r\n", version_http11, "/", 1, nullptr, 0, 1, "h", 1},
        {"no_version", "GET /readme.txt\r\n", version_none, "/readme.txt", 11, nullptr, 0, 11, nullptr, 0},
        {"no_version_lf", "GET /readme.txt?view\n", version_none, "/readme.txt", 11, "view", 4, 16, nullptr, 0},
        // the first space in the last 10 bytes cuts the target, whatever follows it
        {"unknown_version", "GET /a HTTP/9\r\n", version_none, "/a", 2, nullptr, 0, 2, nullptr, 0},
        {"trailing_space", "GET /a HTTP/1.1 \r\n", version_none, "/a", 2, nullptr, 0, 2, nullptr, 0},
        {"space_early_in_short_line", "GET /a b\r\n", version_none, "/a", 2, nullptr, 0, 2, nullptr, 0},
        {"lf_only", "GET /q?dbg HTTP/1.0\n\n", version_http10, "/q", 2, "dbg", 3, 6, nullptr, 0},
    };
}

void PrintTo(const line_case& c, std::ostream* out)
{
    *out << c.name;
}

class request_lines : public testing::TestWithParam<line_case> {};

TEST_P(request_lines, fields)
{
    const line_case& c = GetParam();
    parsed p = parse(c.request);
    ASSERT_EQ(p.v, verdict::served);
    const request_record& r = p.r;
    EXPECT_EQ(r.version, c.version);
    EXPECT_EQ(text_of(r.path), c.path);
    EXPECT_EQ(r.path_length, c.path_length);
    EXPECT_EQ(std::strlen(r.path), r.path_length);
    EXPECT_EQ(text_of(r.query), text_of(c.query));
    EXPECT_EQ(r.query_length, c.query_length);
    if (r.query) {
        EXPECT_EQ(std::strlen(r.query), r.query_length);
    }
    EXPECT_EQ(r.target_length, c.target_length);
    EXPECT_EQ(r.authority_length, c.authority_length);
    if (c.authority) {
        EXPECT_EQ(std::string(r.authority, r.authority_length), c.authority);
    } else {
        EXPECT_EQ(r.authority, nullptr);
    }
    EXPECT_EQ(r.line_begin, p.data);
}

INSTANTIATE_TEST_SUITE_P(request_parser, request_lines, testing::ValuesIn(line_cases()),
                         [](const testing::TestParamInfo<line_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(request_parser, no_version_parses_no_header)
{
    parsed p = parse("GET /readme.txt\r\nHost: a\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_EQ(p.v, verdict::served);
    EXPECT_EQ(p.r.host, nullptr);
    EXPECT_FALSE(p.r.keep_alive);
    EXPECT_EQ(p.r.body_start, p.data + 17);
    EXPECT_EQ(p.r.content_length, 0);
}

TEST(request_parser, empty_header_block)
{
    for (const char* request : {"GET / HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\n\n", "GET / HTTP/1.0\r\n\n",
                                "GET / HTTP/1.0\n\r\n"}) {
        SCOPED_TRACE(request);
        parsed p = parse(request);
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.body_start, p.data + std::strlen(request));
        EXPECT_EQ(p.r.version, version_http10);
    }
}

// ------------------------------------------------------------ header values

std::string http11(const std::string& headers)
{
    return "GET / HTTP/1.1\r\n" + host + headers + "\r\n";
}

TEST(request_parser, header_values_are_lower_cased_and_cut)
{
    parsed p = parse("GET / HTTP/1.1\r\n"
                     "HOST:   Example.ORG:8080\r\n"
                     "User-Agent: Mozilla/5.0 (X11)\r\n"
                     "If-Modified-Since: Tue, 01 Jan 2030 00:00:00 GMT\r\n"
                     "Cookie: A=B\r\n"
                     "X-Unknown: whatever\r\n"
                     "Referer:\r\n"
                     "Origin: first\n"
                     "Origin: second\r\n"
                     "\r\n");
    ASSERT_EQ(p.v, verdict::served);
    const request_record& r = p.r;
    EXPECT_EQ(text_of(r.host), "example.org:8080");
    EXPECT_EQ(r.hostname_length, 16u);
    EXPECT_EQ(text_of(r.user_agent), "mozilla/5.0 (x11)");
    EXPECT_EQ(text_of(r.if_modified_since), "tue, 01 jan 2030 00:00:00 gmt");
    EXPECT_EQ(text_of(r.cookie), "a=b");
    EXPECT_EQ(text_of(r.referer), "");
    EXPECT_EQ(text_of(r.origin), "second");
}

TEST(request_parser, every_plain_header_lands_in_its_field)
{
    struct field {
        const char* name;              // header name as sent
        char* request_record::*member; // where its value must land
    };
    const field fields[] = {
        {"Accept", &request_record::accept},
        {"Accept-Encoding", &request_record::accept_encoding},
        {"Accept-Language", &request_record::accept_language},
        {"Content-Type", &request_record::content_type},
        {"Cookie", &request_record::cookie},
        {"From", &request_record::from},
        {"Host", &request_record::host},
        {"HTTP2-Settings", &request_record::http2_settings},
        {"If-Modified-Since", &request_record::if_modified_since},
        {"If-None-Match", &request_record::if_none_match},
        {"Origin", &request_record::origin},
        {"Pragma", &request_record::pragma},
        {"Referer", &request_record::referer},
        {"Scheme", &request_record::scheme},
        {"Sec-WebSocket-Extensions", &request_record::sec_websocket_extensions},
        {"Sec-WebSocket-Key", &request_record::sec_websocket_key},
        {"Sec-WebSocket-Key1", &request_record::sec_websocket_key1},
        {"Sec-WebSocket-Key2", &request_record::sec_websocket_key2},
        {"Sec-WebSocket-Protocol", &request_record::sec_websocket_protocol},
        {"User-Agent", &request_record::user_agent},
        {"Via", &request_record::via},
        {"X-Forwarded-For", &request_record::x_forwarded_for},
        {"X-Playback-Session-Id", &request_record::x_playback_session_id},
    };
    for (const field& f : fields) {
        SCOPED_TRACE(f.name);
        parsed p = parse(std::string("GET / HTTP/1.0\r\n") + f.name + ": Value-1\r\n\r\n");
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(text_of(p.r.*f.member), "value-1");
    }
}

struct connection_case {
    const char* value;   // Connection value as sent
    bool http2_settings; // expected flags
    bool keep_alive;
    bool upgrade;
};

TEST(request_parser, connection_tokens)
{
    const connection_case cases[] = {
        {"keep-alive", false, true, false},
        {"Keep-Alive", false, true, false},
        {"close", false, false, false},
        {"Upgrade, HTTP2-Settings", true, false, true},
        {"keep-alive,upgrade", false, true, true},
        {"close,  keep-alive", false, true, false},
        {"keep-alive ", false, false, false},
        {"", false, false, false},
    };
    for (const connection_case& c : cases) {
        SCOPED_TRACE(c.value);
        parsed p = parse(http11(std::string("Connection: ") + c.value + "\r\n"));
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.conn_http2_settings, c.http2_settings);
        EXPECT_EQ(p.r.keep_alive, c.keep_alive);
        EXPECT_EQ(p.r.conn_upgrade, c.upgrade);
    }
    EXPECT_FALSE(parse(http11("")).r.keep_alive);
    // flags gather over repeated headers
    parsed both = parse(http11("Connection: keep-alive\r\nConnection: close\r\n"));
    EXPECT_TRUE(both.r.keep_alive);
}

struct range_case {
    const char* value; // Range value as sent
    int32_t unit;      // expected range_unit, range_first, range_last
    uint64_t first;
    uint64_t last;
};

TEST(request_parser, ranges)
{
    const range_case cases[] = {
        {"bytes=100-", 1, 100, 0},
        {"bytes=-500", 1, 0, 500},
        {"bytes=0-99,200-299", 1, 0, 99},
        {"bytes=10-20", 1, 10, 20},
        {"Bytes=1-2", 1, 1, 2},
        {"items=1-2", 0, 0, 0},
        {"none=1-2", 0, 0, 0},
        {"bytes=5", 1, 0, 0},
        {"bytes", 0, 0, 0},
        {"bytes= 5-6", 1, 0, 6},
        {"bytes=99999999999999999999999-1", 1, UINT64_MAX, 1},
    };
    for (const range_case& c : cases) {
        SCOPED_TRACE(c.value);
        parsed p = parse(http11(std::string("Range: ") + c.value + "\r\n"));
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.range_unit, c.unit);
        EXPECT_EQ(p.r.range_first, c.first);
        EXPECT_EQ(p.r.range_last, c.last);
    }
    parsed later = parse(http11("Range: bytes=1-2\r\nRange: bytes=7\r\n"));
    EXPECT_EQ(later.r.range_first, 0u);
    EXPECT_EQ(later.r.range_last, 0u);
}

TEST(request_parser, cache_control_max_age)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"max-age=60", 60},
        {"Max-Age=60", 60},
        {"public, max-age=60", 0},
        {"max-age=60, public", 60},
        {"no-store max-age=5", 0},
        {"a=1 max-age=5", 5},
        {"a=1   max-age=-7", -7},
        {"max-age=1 max-age=2", 2},
        {"max-age", 0},
        {"max-age=99999999999", INT32_MAX},
        {"max-age=-99999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        parsed p = parse(http11(std::string("Cache-Control: ") + c.first + "\r\n"));
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.max_age, c.second);
    }
}

TEST(request_parser, forwarded_for)
{
    const std::pair<const char*, const char*> cases[] = {
        {"for=192.0.2.60", "192.0.2.60"},
        {"by=a for=b", "b"},
        {"For=B proto=http", "b"},
        {"for=192.0.2.60;proto=http", "192.0.2.60;proto=http"},
        {"proto=http", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        parsed p = parse(http11(std::string("Forwarded: ") + c.first + "\r\n"));
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(text_of(p.r.forwarded_for), text_of(c.second));
    }
}

TEST(request_parser, content_negotiation_flags)
{
    parsed p = parse(http11("Accept-Encoding: br;q=0\r\nAccept: image/avif,image/WEBP,*/*\r\n"));
    EXPECT_TRUE(p.r.accepts_br);
    EXPECT_FALSE(p.r.accepts_gzip);
    EXPECT_TRUE(p.r.accepts_webp);
    parsed q = parse(http11("Accept-Encoding: gzip, deflate\r\nAccept: text/html\r\n"));
    EXPECT_FALSE(q.r.accepts_br);
    EXPECT_TRUE(q.r.accepts_gzip);
    EXPECT_FALSE(q.r.accepts_webp);
    // any occurrence counts, inside other words too
    EXPECT_TRUE(parse(http11("Accept-Encoding: x-brotli\r\n")).r.accepts_br);
}

TEST(request_parser, upgrade_and_numbers)
{
    EXPECT_EQ(parse(http11("Upgrade: WebSocket\r\n")).r.upgrade, 2u);
    EXPECT_EQ(parse(http11("Upgrade: h2c\r\n")).r.upgrade, 1u);
    EXPECT_EQ(parse(http11("Upgrade: h2\r\n")).r.upgrade, 0u);
    EXPECT_TRUE(parse(http11("Upgrade-Insecure-Requests: 1\r\n")).r.upgrade_insecure);
    EXPECT_FALSE(parse(http11("Upgrade-Insecure-Requests: 0\r\n")).r.upgrade_insecure);
    EXPECT_EQ(parse(http11("Sec-WebSocket-Version: 13\r\n")).r.websocket_version, 13);
    EXPECT_EQ(parse(http11("Sec-WebSocket-Version: 13x\r\n")).r.websocket_version, 13);
    EXPECT_EQ(parse(http11("Sec-WebSocket-Version: 99999999999\r\n")).r.websocket_version, INT32_MAX);
    EXPECT_EQ(parse(http11("Content-Length: +0\r\n")).r.content_length, 0);
}

struct query_case {
    const char* query; // the query as sent, without "?"
    bool debug;        // expected flags
    bool download;
    bool view;
};

TEST(request_parser, query_flags)
{
    const query_case cases[] = {
        {"dbg", true, false, false},       {"debug", true, false, false},
        {"dbg&x=1", false, false, false},  {"debugger", false, false, false},
        {"down", false, true, false},      {"download", false, true, false},
        {"download&x", false, true, false}, {"down&x", false, true, false},
        {"downloads", false, false, false}, {"view", false, false, true},
        {"view&a", false, false, true},    {"x=1&view", false, false, false},
        {"viewer", false, false, false},   {"VIEW", false, false, false},
        {"", false, false, false},
    };
    for (const query_case& c : cases) {
        SCOPED_TRACE(c.query);
        parsed p = parse(std::string("GET /doc.md?") + c.query + " HTTP/1.0\r\n\r\n");
        ASSERT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.query_debug, c.debug);
        EXPECT_EQ(p.r.query_download, c.download);
        EXPECT_EQ(p.r.query_view, c.view);
    }
}

// ------------------------------------------------------------------ limits

TEST(request_parser, header_block_limit)
{
    // request line and header block together end exactly at 8192 bytes, or one later
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX-Pad: ";
    std::string fits = head + std::string(8192 - head.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), 8192u);
    parsed p = parse(fits + "trailing bytes");
    EXPECT_EQ(p.v, verdict::served);
    EXPECT_EQ(p.r.body_start, p.data + 8192);
    std::string over = head + std::string(8192 - head.size() - 3, 'p') + "\r\n\r\n";
    EXPECT_EQ(parse(over).v, verdict::malformed);
    EXPECT_EQ(parse(over + "more").v, verdict::malformed);
    EXPECT_EQ(parse(over.substr(0, 8191)).v, verdict::incomplete);
    // the byte at the limit is put back after the search
    parsed q = parse(over + "Z");
    EXPECT_EQ(q.data[8192], '\n');
}

TEST(request_parser, line_filling_the_limit_leaves_no_room_for_headers)
{
    std::string line = "GET /" + std::string(8192 - 16, 'a') + " HTTP/1.1\r\n";
    ASSERT_EQ(line.size(), 8192u);
    EXPECT_EQ(parse(line).v, verdict::malformed);
    EXPECT_EQ(parse(line + "\r\n").v, verdict::malformed);
}

// ------------------------------------------------------------------- bodies

TEST(request_parser, post_body_complete)
{
    std::string request = http11("Content-Length: 5\r\n") + "hello";
    request.replace(0, 3, "POST");
    parsed p = parse(request + "GET /next");
    ASSERT_EQ(p.v, verdict::served);
    EXPECT_EQ(p.r.method, method_post);
    EXPECT_EQ(p.r.content_length, 5);
    EXPECT_EQ(p.r.body_received, 0u);
    EXPECT_EQ(std::string(p.r.body_start, 5), "hello");
    EXPECT_EQ(p.r.body_start + p.r.content_length, p.data + request.size());
}

TEST(request_parser, post_body_cut_short_by_the_buffer_end)
{
    const std::string request =
        "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n" + std::string(40, 'b');
    const uint64_t n = request.size();
    // room counts the bytes from data to the buffer end; the NUL takes one
    const std::pair<uint64_t, verdict> cases[] = {
        {n + 18, verdict::incomplete}, {n + 17, verdict::incomplete}, {n + 16, verdict::served},
        {n + 2, verdict::served},      {n + 1, verdict::served},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first - n);
        parsed p = parse(request, c.first);
        EXPECT_EQ(p.v, c.second);
        EXPECT_EQ(p.r.body_received, p.v == verdict::served ? 40u : 0u);
    }
}

TEST(request_parser, full_buffer_without_any_body_byte)
{
    // body_received 0 would claim the whole body is there: wait while a byte
    // fits, refuse once none does
    const std::string request = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\n";
    EXPECT_EQ(parse(request, request.size() + 2).v, verdict::incomplete);
    EXPECT_EQ(parse(request, request.size() + 1).v, verdict::malformed);
}

TEST(request_parser, full_buffer_before_the_header_block_ends)
{
    const std::string request = "GET / HTTP/1.1\r\nHost: a\r\n";
    EXPECT_EQ(parse(request, request.size() + 2).v, verdict::incomplete);
    EXPECT_EQ(parse(request, request.size() + 1).v, verdict::malformed);
    EXPECT_EQ(parse("GET /abc", 9).v, verdict::malformed);
    EXPECT_EQ(parse("GE", 3).v, verdict::malformed);
}

TEST(request_parser, data_close_to_the_buffer_end)
{
    // the 8192-byte limit lies beyond the buffer end: nothing may be written there
    parsed p = parse("GET / HTTP/1.1\r\nHost: a\r\n\r\n", 100);
    EXPECT_EQ(p.v, verdict::served);
    EXPECT_EQ(p.r.scan_limit, p.data + 100);
}

// ------------------------------------------------------------- resumption

#define REQUEST_FIELDS(X)                                                                          \
    X(parse_state) X(complete) X(accepted) X(refused_method) X(path_length) X(query_length)       \
    X(target_length) X(accepts_br) X(accepts_gzip) X(accepts_webp) X(conn_http2_settings)         \
    X(keep_alive) X(conn_upgrade) X(query_debug) X(query_download) X(query_view)                   \
    X(authority_length) X(hostname_length) X(max_age) X(body_received) X(content_length)         \
    X(method) X(version) X(upgrade) X(upgrade_insecure) X(websocket_version) X(range_first)       \
    X(range_last) X(range_unit) X(accept) X(accept_encoding) X(accept_language) X(path)           \
    X(authority) X(cookie) X(content_type) X(forwarded_for) X(from) X(host) X(http2_settings)     \
    X(if_modified_since) X(if_none_match) X(origin) X(pragma) X(query) X(referer) X(scheme)       \
    X(sec_websocket_extensions) X(sec_websocket_key) X(sec_websocket_key1)                       \
    X(sec_websocket_key2) X(sec_websocket_protocol) X(user_agent) X(via)                         \
    X(x_playback_session_id) X(x_forwarded_for) X(resume_at) X(pending_end) X(line_begin)        \
    X(body_start) X(saved_byte) X(scan_limit)

// Returns the number of differing fields, so that a loop over many splits can
// stop at the first bad one instead of printing thousands of failures.
int differences(const request_record& a, const request_record& b)
{
    int n = 0;
#define SAME(field) n += a.field == b.field ? 0 : (ADD_FAILURE() << #field << " differs", 1);
    REQUEST_FIELDS(SAME)
#undef SAME
    return n;
}

// Parses `text` at once and then in pieces ending at `cuts`: the verdict, the
// record and the bytes cut up to the verdict must agree.
bool split_matches_whole(const std::string& text, const std::vector<uint64_t>& cuts)
{
    parsed whole = parse(text);
    const std::string whole_bytes(whole.data, text.size());
    uint64_t received;
    parsed split = parse_pieces(text, cuts, &received);
    if (split.data != whole.data || split.result != whole.result || split.v != whole.v) {
        ADD_FAILURE() << "verdict " << split.v << " instead of " << whole.v;
        return false;
    }
    if (differences(whole.r, split.r) != 0) return false;
    if (std::memcmp(split.data, whole_bytes.data(), received) != 0) {
        ADD_FAILURE() << "the request was cut differently";
        return false;
    }
    return true;
}

std::string cuts_text(const std::vector<uint64_t>& cuts)
{
    std::string s;
    for (uint64_t c : cuts) s += std::to_string(c) + " ";
    return s;
}

struct split_case {
    const char* name;    // test name
    std::string request; // all bytes that will arrive
};

std::vector<split_case> split_cases()
{
    std::string pad_head = "GET / HTTP/1.1\r\nHost: a\r\nX-Pad: ";
    return {
        {"browser_get",
         "GET /docs/index.html?view HTTP/1.1\r\n"
         "Host: www.example.org\r\n"
         "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\r\n"
         "Accept: text/html,application/xhtml+xml,image/webp,*/*;q=0.8\r\n"
         "Accept-Language: en-US,en;q=0.5\r\n"
         "Accept-Encoding: gzip, deflate, br\r\n"
         "Connection: keep-alive\r\n"
         "Upgrade-Insecure-Requests: 1\r\n"
         "If-Modified-Since: Tue, 01 Jan 2030 00:00:00 GMT\r\n"
         "Cache-Control: max-age=0\r\n"
         "Range: bytes=10-20\r\n"
         "\r\n"},
        {"post_then_pipelined",
         "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\nhello world"
         "GET / HTTP/1.1\r\n\r\n"},
        {"post_body_pending", "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 50\r\n\r\nhello"},
        {"lf_only", "GET /a HTTP/1.1\nHost: a\nForwarded: by=x for=y\n\n"},
        {"absolute", "HEAD http://h:1/p?download HTTP/1.1\r\nHost: h\r\n\r\n"},
        {"no_version", "GET /readme.txt\r\nHost: a\r\n\r\n"},
        {"empty_block", "GET / HTTP/1.0\r\n\r\n"},
        {"bare_lf_line_then_crlf", "GET / HTTP/1.0\n\r\nrest"},
        {"mixed_line_ends", "GET / HTTP/1.1\r\nHost: a\n\nX: y\r\n\r\n"},
        {"cr_before_empty_line", "GET / HTTP/1.1\r\nHost: a\r\r\n\r\n"},
        {"header_without_colon", "GET / HTTP/1.1\r\nHost: a\r\nOops\r\n\r\n"},
        {"bad_length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999\r\n\r\nx"},
        {"refused", "DELETE /x HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"eight_letter_method", "PROPFIND / HTTP/1.1\r\n\r\n"},
        {"nul_in_header", std::string("GET / HTTP/1.1\r\nHo\0st: a\r\n\r\n", 28)},
        {"header_block_at_limit", pad_head + std::string(8192 - pad_head.size() - 4, 'p') + "\r\n\r\n"},
        {"header_block_over_limit", pad_head + std::string(8192 - pad_head.size() - 3, 'p') + "\r\n\r\n"},
    };
}

void PrintTo(const split_case& c, std::ostream* out)
{
    *out << c.name;
}

class splits : public testing::TestWithParam<split_case> {};

TEST_P(splits, single_byte_receives)
{
    const std::string& text = GetParam().request;
    std::vector<uint64_t> cuts;
    for (uint64_t i = 1; i <= text.size(); ++i) cuts.push_back(i);
    EXPECT_TRUE(split_matches_whole(text, cuts));
}

TEST_P(splits, every_two_way_split)
{
    const std::string& text = GetParam().request;
    for (uint64_t cut = 0; cut <= text.size(); ++cut) {
        std::vector<uint64_t> cuts = {cut, text.size()};
        if (!split_matches_whole(text, cuts)) {
            ADD_FAILURE() << "cuts " << cuts_text(cuts);
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(request_parser, splits, testing::ValuesIn(split_cases()),
                         [](const testing::TestParamInfo<split_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(request_parser, straddling_terminator_is_found)
{
    const std::string text = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    const uint64_t n = text.size();
    for (uint64_t k : {n - 1, n - 2, n - 3}) {
        SCOPED_TRACE(k);
        uint64_t received;
        parsed p = parse_pieces(text, {k, n}, &received);
        EXPECT_EQ(p.v, verdict::served);
        EXPECT_EQ(p.r.body_start, p.data + n);
        EXPECT_EQ(text_of(p.r.host), "a");
    }
}

TEST(request_parser, a_call_after_a_verdict_starts_a_new_request)
{
    // without a pending request the old record is never continued, reset or not
    parsed p = parse("GET /x?view HTTP/1.0\r\n\r\n");
    ASSERT_EQ(p.v, verdict::served);
    EXPECT_TRUE(parse_request(&p.r, p.data, 3, p.data + receive_size) == false);
    EXPECT_EQ(p.r.pending_end, p.data + 3);
}

TEST(request_parser, resumption_needs_the_same_data)
{
    char* data = place("GET / HTTP/1.1\r\nHost: a\r\n");
    request_record r;
    reset_request(&r);
    EXPECT_FALSE(parse_request(&r, data, 25, data + receive_size));
    ASSERT_EQ(r.pending_end, data + 25);
    EXPECT_FALSE(parse_request(&r, data + 1, 24, data + receive_size));
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.pending_end, nullptr);
}

TEST(request_parser, reset_state)
{
    request_record r;
    std::memset(&r, 0x5a, sizeof r);
    reset_request(&r);
    request_record zero{};
    zero.version = version_none;
    EXPECT_EQ(differences(r, zero), 0);
}

} // namespace
