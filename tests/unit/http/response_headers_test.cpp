#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "assets/embedded.h"
#include "content/mime_types.h"
#include "core/settings.h"
#include "http/request.h"
#include "http/response.h"
#include "net/send_path.h"
#include "http/status_table.h"
#include "net/server.h"
#include "os/clock.h"
#include "os/event.h"

namespace {

// 2025-03-06 08:05:09 UTC as FILETIME.
constexpr uint64_t march_6_2025 = 133857219090000000ULL;

constexpr char security_lines[] = "X-Content-Type-Options: nosniff\r\n"
                                  "X-Frame-Options: SAMEORIGIN\r\n"
                                  "Referrer-Policy: strict-origin-when-cross-origin\r\n";

std::string current_http_date()
{
    civil_time utc;
    filetime_to_utc(clock_filetime_now(), &utc);
    char text[http_date_capacity];
    uint64_t length = format_http_date(&utc, text, sizeof(text));
    return std::string(text, length);
}

// Replaces every Date and Expires value, and the Last-Modified value when
// `now_modified`, by "<now>" after checking that it is the current time as
// read before or after the block was built.
std::string mask_current_dates(std::string block, const std::string& before,
                               const std::string& after, bool now_modified)
{
    std::vector<std::string> names = {"Date: ", "Expires: "};
    if (now_modified) names.push_back("Last-Modified: ");
    for (const std::string& name : names) {
        size_t at = block.find("\r\n" + name);
        if (at == std::string::npos) continue;
        at += 2 + name.size();
        size_t end = block.find("\r\n", at);
        std::string value = block.substr(at, end - at);
        EXPECT_TRUE(value == before || value == after)
            << name << value << " is not the current time (" << before << ")";
        block.replace(at, end - at, "<now>");
    }
    return block;
}

// The arguments of build_response_headers, with the values of a plain
// "200 OK" for a 1000-byte style sheet.
struct header_call {
    int32_t status = status_ok;
    int32_t type = mime_text_css;
    uint64_t content_length = 1000;
    bool keep_alive = true;
    bool short_form = false;
    const byte_range* range = nullptr;
    const uint64_t* write_time = nullptr;
    const embedded_file* asset = nullptr;
    const char* charset = nullptr;
    const char* location = nullptr;
};

class ResponseHeaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_min_gz.store(false);
        g_upgrade_hsts_in_effect.store(false);
    }
    void TearDown() override
    {
        g_min_gz.store(false);
        g_upgrade_hsts_in_effect.store(false);
    }

    uint64_t build_into(const header_call& c, char* buffer, uint64_t capacity)
    {
        return build_response_headers(&response, buffer, capacity, c.status, c.type,
                                      c.content_length, c.keep_alive, c.short_form, c.range,
                                      c.write_time, c.asset, c.charset, c.location);
    }

    // The header block as text, its current dates masked (mask_current_dates).
    std::string build(const header_call& c, bool now_modified = false)
    {
        std::vector<char> buffer(65536, '#');
        std::string before = current_http_date();
        uint64_t length = build_into(c, buffer.data(), buffer.size());
        std::string after = current_http_date();
        if (length == 0) return std::string();
        EXPECT_EQ(buffer[length], '\0') << "a NUL follows the block when room is left";
        return mask_current_dates(std::string(buffer.data(), length), before, after, now_modified);
    }

    response_record response{};
};

TEST_F(ResponseHeaders, FileWithLastWriteTime)
{
    uint64_t written = march_6_2025;
    byte_range range{0, 0};
    header_call c;
    c.range = &range;
    c.write_time = &written;
    EXPECT_EQ(build(c), std::string("HTTP/1.1 200 OK\r\n"
                                    "Server: quillnestweb\r\n"
                                    "Content-Type: text/css\r\n") +
                            security_lines +
                            "Date: <now>\r\n"
                            "Expires: <now>\r\n"
                            "Last-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n"
                            "Connection: keep-alive\r\n"
                            "Accept-Ranges: bytes\r\n"
                            "Content-Length: 1000\r\n"
                            "\r\n");
}

TEST_F(ResponseHeaders, PartialContentCountsTheRange)
{
    uint64_t written = march_6_2025;
    byte_range range{100, 199};
    header_call c;
    c.status = status_partial_content;
    c.range = &range;
    c.write_time = &written;
    c.keep_alive = false;
    EXPECT_EQ(build(c), std::string("HTTP/1.1 206 Partial Content\r\n"
                                    "Server: quillnestweb\r\n"
                                    "Content-Type: text/css\r\n") +
                            security_lines +
                            "Date: <now>\r\n"
                            "Expires: <now>\r\n"
                            "Last-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n"
                            "Connection: close\r\n"
                            "Accept-Ranges: bytes\r\n"
                            "Content-Range: bytes 100-199/1000\r\n"
                            "Content-Length: 100\r\n"
                            "\r\n");
}

TEST_F(ResponseHeaders, RangeLinesByStatus)
{
    struct range_case {
        int32_t status;
        byte_range range;
        const char* range_lines; // from Accept-Ranges to Content-Length
    };
    const range_case cases[] = {
        {status_ok, {100, 199},
         "Accept-Ranges: bytes\r\nContent-Length: 1000\r\n"},
        {status_range_not_satisfiable, {0, 999},
         "Accept-Ranges: bytes\r\nContent-Range: bytes 0-999/1000\r\nContent-Length: 1000\r\n"},
        {status_partial_content, {999, 999},
         "Accept-Ranges: bytes\r\nContent-Range: bytes 999-999/1000\r\nContent-Length: 1\r\n"},
        {status_not_modified, {0, 0},
         "Accept-Ranges: bytes\r\nContent-Length: 1000\r\n"},
    };
    for (const range_case& rc : cases) {
        header_call c;
        c.status = rc.status;
        c.range = &rc.range;
        std::string block = build(c, true);
        size_t at = block.find("Accept-Ranges");
        ASSERT_NE(at, std::string::npos) << rc.status;
        EXPECT_EQ(block.substr(at), std::string(rc.range_lines) + "\r\n") << rc.status;
    }
}

TEST_F(ResponseHeaders, NotModifiedCarriesTheSecurityLines)
{
    uint64_t written = march_6_2025;
    byte_range range{0, 0};
    header_call c;
    c.status = status_not_modified;
    c.range = &range;
    c.write_time = &written;
    EXPECT_EQ(build(c), std::string("HTTP/1.1 304 Not Modified\r\n"
                                    "Server: quillnestweb\r\n"
                                    "Content-Type: text/css\r\n") +
                            security_lines +
                            "Date: <now>\r\n"
                            "Expires: <now>\r\n"
                            "Last-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n"
                            "Connection: keep-alive\r\n"
                            "Accept-Ranges: bytes\r\n"
                            "Content-Length: 1000\r\n"
                            "\r\n");
}

TEST_F(ResponseHeaders, NotFoundShortFormHasNoSecurityLines)
{
    header_call c;
    c.status = status_not_found;
    c.type = mime_text_html;
    c.content_length = 1234;
    c.short_form = true;
    EXPECT_EQ(build(c), "HTTP/1.1 404 Not Found\r\n"
                        "Server: quillnestweb\r\n"
                        "Content-Type: text/html\r\n"
                        "Connection: keep-alive\r\n"
                        "Content-Length: 1234\r\n"
                        "\r\n");
}

TEST_F(ResponseHeaders, RedirectShortFormWithLocation)
{
    header_call c;
    c.status = status_found;
    c.type = mime_text_html;
    c.content_length = 95;
    c.short_form = true;
    c.location = "/media/?x=1";
    EXPECT_EQ(build(c), std::string("HTTP/1.1 302 Found\r\n"
                                    "Server: quillnestweb\r\n"
                                    "Content-Type: text/html\r\n") +
                            security_lines +
                            "Location: /media/?x=1\r\n"
                            "Connection: keep-alive\r\n"
                            "Content-Length: 95\r\n"
                            "\r\n");
}

TEST_F(ResponseHeaders, LocationOnlyInShortForm)
{
    header_call c;
    c.location = "/elsewhere/";
    EXPECT_EQ(build(c, true).find("Location"), std::string::npos);
}

TEST_F(ResponseHeaders, LocationWithLineBreakIsRefused)
{
    const char* locations[] = {"/a\r\nSet-Cookie: x=1", "/a\rb/", "/a\nb/"};
    for (const char* location : locations) {
        header_call c;
        c.status = status_found;
        c.short_form = true;
        c.location = location;
        char buffer[512];
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(build_into(c, buffer, sizeof(buffer)), 0u);
        EXPECT_EQ(std::string(buffer, sizeof(buffer)).find("Set-Cookie"), std::string::npos);
    }
}

TEST_F(ResponseHeaders, SecurityLinesForEveryStatusBelow400)
{
    for (int32_t status = 0; status < status_count; ++status) {
        header_call c;
        c.status = status;
        c.short_form = true;
        std::string block = build(c);
        EXPECT_EQ(block.rfind(std::string("HTTP/1.1 ") + status_lines[status] + "\r\n", 0), 0u)
            << status;
        bool expected = status < status_first_failure;
        EXPECT_EQ(block.find(security_lines) != std::string::npos, expected) << status;
        EXPECT_EQ(block.find("X-"), expected ? block.find(security_lines) : std::string::npos)
            << status;
    }
}

TEST_F(ResponseHeaders, LastModifiedSources)
{
    embedded_file asset{};
    std::strcpy(asset.modified, "Wed, 1 Jan 2025 0:00:00 GMT");
    uint64_t written = march_6_2025;

    header_call from_file;
    from_file.write_time = &written;
    from_file.asset = &asset;
    EXPECT_NE(build(from_file).find("\r\nLast-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n"),
              std::string::npos);

    header_call from_asset;
    from_asset.asset = &asset;
    EXPECT_NE(build(from_asset).find("\r\nLast-Modified: Wed, 1 Jan 2025 0:00:00 GMT\r\n"),
              std::string::npos);

    header_call from_clock;
    EXPECT_NE(build(from_clock, true).find("\r\nLast-Modified: <now>\r\n"), std::string::npos);
}

TEST_F(ResponseHeaders, StrictTransportSecurity)
{
    struct hsts_case {
        bool secure;
        bool hsts_in_effect;
        const char* lines; // between Last-Modified and Connection
    };
    const hsts_case cases[] = {
        {false, false, ""},
        {false, true, ""},
        {true, false, "Strict-Transport-Security: max-age=0\r\n"},
        {true, true,
         "Content-Security-Policy: upgrade-insecure-requests\r\n"
         "Strict-Transport-Security: max-age=63072000; includeSubDomains; preload\r\n"},
    };
    for (const hsts_case& hc : cases) {
        response.secure = hc.secure;
        g_upgrade_hsts_in_effect.store(hc.hsts_in_effect);
        uint64_t written = march_6_2025;
        header_call c;
        c.write_time = &written;
        std::string block = build(c);
        std::string last_modified = "Last-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n";
        size_t from = block.find(last_modified);
        size_t to = block.find("Connection: ");
        ASSERT_NE(from, std::string::npos);
        ASSERT_NE(to, std::string::npos);
        from += last_modified.size();
        EXPECT_EQ(block.substr(from, to - from), hc.lines)
            << "secure " << hc.secure << ", in effect " << hc.hsts_in_effect;
    }
}

TEST_F(ResponseHeaders, ContentEncodingAndVary)
{
    struct coding_case {
        bool br;
        bool gzip;
        bool min_gz;
        bool negotiated;   // a file-delivery answer
        const char* lines; // between Connection and Accept-Ranges
    };
    const coding_case cases[] = {
        {false, false, false, true, ""},
        {true, false, false, true, "Content-Encoding: br\r\n"},
        {false, true, false, true, "Content-Encoding: gzip\r\n"},
        {true, true, false, true, "Content-Encoding: br\r\n"},
        {false, false, true, true, "Vary: Accept-Encoding, Accept\r\n"},
        {true, false, true, true, "Content-Encoding: br\r\nVary: Accept-Encoding, Accept\r\n"},
        {false, true, true, true, "Content-Encoding: gzip\r\nVary: Accept-Encoding, Accept\r\n"},
        {false, false, true, false, ""},
    };
    for (const coding_case& cc : cases) {
        response.encoding_br = cc.br;
        response.encoding_gzip = cc.gzip;
        response.negotiated = cc.negotiated;
        g_min_gz.store(cc.min_gz);
        byte_range range{0, 0};
        header_call c;
        c.range = &range;
        std::string block = build(c, true);
        std::string connection = "Connection: keep-alive\r\n";
        size_t from = block.find(connection);
        size_t to = block.find("Accept-Ranges: ");
        ASSERT_NE(from, std::string::npos);
        ASSERT_NE(to, std::string::npos);
        from += connection.size();
        EXPECT_EQ(block.substr(from, to - from), cc.lines)
            << "br " << cc.br << ", gzip " << cc.gzip << ", min_gz " << cc.min_gz;
    }
}

TEST_F(ResponseHeaders, ChunkedAndCharset)
{
    header_call c;
    c.type = mime_text_html;
    c.content_length = content_length_chunked;
    c.charset = "utf-8";
    std::string block = build(c, true);
    EXPECT_NE(block.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_EQ(block.find("Content-Length"), std::string::npos);
    EXPECT_EQ(block.size() - block.find("\r\nTransfer-Encoding: chunked\r\n\r\n"),
              std::strlen("\r\nTransfer-Encoding: chunked\r\n\r\n"));
}

TEST_F(ResponseHeaders, TypeIndexOutsideTheTable)
{
    for (int32_t type : {-1, mime_type_count, INT32_MIN, INT32_MAX}) {
        header_call c;
        c.type = type;
        c.short_form = true;
        EXPECT_NE(build(c).find("\r\nContent-Type: application/octet-stream\r\n"),
                  std::string::npos)
            << type;
    }
}

TEST_F(ResponseHeaders, StatusIndexOutsideTheTableBuildsNothing)
{
    for (int32_t status : {-1, (int32_t)status_count, INT32_MIN}) {
        header_call c;
        c.status = status;
        c.short_form = true;
        char buffer[1024];
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(build_into(c, buffer, sizeof(buffer)), 0u) << status;
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(buffer[sizeof(buffer) - 1], '\0');
    }
}

// Every capacity short of the block gives 0, leaves what fitted before the
// failing piece and zeroes the rest up to the capacity, never beyond it.
TEST_F(ResponseHeaders, RoomFailureZeroFillsTheRest)
{
    byte_range range{100, 199};
    header_call c;
    c.status = status_partial_content;
    c.short_form = true;
    c.range = &range;
    c.charset = "utf-8";
    std::string full = build(c);
    ASSERT_FALSE(full.empty());

    std::vector<char> buffer(full.size() + 16);
    for (uint64_t capacity = 0; capacity < full.size(); ++capacity) {
        std::fill(buffer.begin(), buffer.end(), '#');
        ASSERT_EQ(build_into(c, buffer.data(), capacity), 0u) << capacity;
        uint64_t kept = 0;
        while (kept < capacity && buffer[kept] != '\0') ++kept;
        EXPECT_EQ(std::string(buffer.data(), kept), full.substr(0, kept)) << capacity;
        for (uint64_t i = kept; i < capacity; ++i) ASSERT_EQ(buffer[i], '\0') << capacity << " " << i;
        for (uint64_t i = capacity; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << capacity;
    }

    // Exactly the block's length fits; the NUL is left out for want of room.
    std::fill(buffer.begin(), buffer.end(), '#');
    EXPECT_EQ(build_into(c, buffer.data(), full.size()), full.size());
    EXPECT_EQ(std::string(buffer.data(), full.size()), full);
    EXPECT_EQ(buffer[full.size()], '#');
}

TEST_F(ResponseHeaders, RoomFailureAmongTheDates)
{
    uint64_t written = march_6_2025;
    header_call c;
    c.write_time = &written;
    char buffer[512];
    uint64_t full = build_into(c, buffer, sizeof(buffer));
    ASSERT_GT(full, 150u);
    // Capacities that end inside Expires, Last-Modified and Connection.
    for (uint64_t capacity : {full - 100, full - 60, full - 40}) {
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(build_into(c, buffer, capacity), 0u) << capacity;
        EXPECT_EQ(buffer[capacity - 1], '\0');
        EXPECT_EQ(buffer[capacity], '#');
    }
}

// Extra header lines come from the settings; a reading sets them here.
class ExtraHeaders : public ResponseHeaders {
protected:
    void SetUp() override
    {
        ResponseHeaders::SetUp();
        server = std::make_unique<G_SOCKET>();
    }
    void TearDown() override
    {
        settings_release();
        ResponseHeaders::TearDown();
    }

    void configure(const std::u16string& lines)
    {
        std::u16string text = u"headers=\r\n{\r\n" + lines + u"}\r\n";
        settings_reading reading;
        ASSERT_EQ(settings_parse_text(server.get(), text.c_str(), &reading), 0);
    }

    std::unique_ptr<G_SOCKET> server;
};

TEST_F(ExtraHeaders, FollowTheSecurityLinesOfSuccessfulAnswers)
{
    configure(u"X-One: 1\r\nX-Two: 2\r\n");
    uint64_t written = march_6_2025;
    header_call file;
    file.write_time = &written;
    EXPECT_EQ(build(file), std::string("HTTP/1.1 200 OK\r\n"
                                       "Server: quillnestweb\r\n"
                                       "Content-Type: text/css\r\n") +
                               security_lines +
                               "X-One: 1\r\n"
                               "X-Two: 2\r\n"
                               "Date: <now>\r\n"
                               "Expires: <now>\r\n"
                               "Last-Modified: Thu, 6 Mar 2025 8:05:09 GMT\r\n"
                               "Connection: keep-alive\r\n"
                               "Content-Length: 1000\r\n"
                               "\r\n");

    header_call redirect;
    redirect.status = status_found;
    redirect.short_form = true;
    redirect.location = "/docs/";
    EXPECT_NE(build(redirect).find("X-Two: 2\r\nLocation: /docs/\r\n"), std::string::npos);

    header_call missing;
    missing.status = status_not_found;
    missing.short_form = true;
    EXPECT_EQ(build(missing).find("X-One"), std::string::npos);
}

TEST_F(ExtraHeaders, BlockLargerThanTheRoomBuildsNothing)
{
    std::u16string lines;
    for (int i = 0; i < 200; ++i) lines += u"X-Filler: " + std::u16string(80, u'f') + u"\r\n";
    configure(lines);
    header_call c;
    c.short_form = true;
    std::string full = build(c);
    ASSERT_GT(full.size(), 200u * 92);

    std::vector<char> buffer(full.size() + 16);
    uint64_t extra_start = full.find("X-Filler");
    for (uint64_t capacity : {(uint64_t)4096, extra_start + 1, full.size() - 100, full.size() - 1}) {
        std::fill(buffer.begin(), buffer.end(), '#');
        EXPECT_EQ(build_into(c, buffer.data(), capacity), 0u) << capacity;
        EXPECT_EQ(buffer[capacity - 1], '\0') << capacity;
        EXPECT_EQ(buffer[capacity], '#') << capacity;
    }
    EXPECT_EQ(build_into(c, buffer.data(), full.size()), full.size());
}

TEST(HttpDate, FormatsWithoutLeadingZeros)
{
    struct date_case {
        uint64_t filetime;
        const char* text;
    };
    const date_case cases[] = {
        {march_6_2025, "Thu, 6 Mar 2025 8:05:09 GMT"},
        {133485407990000000ULL, "Sun, 31 Dec 2023 23:59:59 GMT"},
        {0, "Mon, 1 Jan 1601 0:00:00 GMT"},
        // Years past 9999 do not fit the four-digit year: the all-zero time.
        {2650467744000000000ULL, "Sun, 0 Jan 0000 0:00:00 GMT"},
        {UINT64_MAX, "Sun, 0 Jan 0000 0:00:00 GMT"},
    };
    for (const date_case& dc : cases) {
        civil_time utc;
        filetime_to_utc(dc.filetime, &utc);
        char text[40];
        std::memset(text, '#', sizeof(text));
        uint64_t length = format_http_date(&utc, text, http_date_capacity);
        EXPECT_EQ(std::string(text, length), dc.text) << dc.filetime;
        EXPECT_EQ(text[length], '\0');
    }
}

TEST(HttpDate, RoomBelowThirtyWritesNothing)
{
    civil_time utc{2023, 11, 31, 23, 59, 59, 0};
    char text[40];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(format_http_date(&utc, text, 29), 0u);
    EXPECT_EQ(format_http_date(&utc, text, 0), 0u);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(format_http_date(&utc, text, 30), 29u);
    EXPECT_EQ(text[29], '\0');
}

TEST(HttpDate, FieldsOutsideTheirRangesGiveTheZeroTime)
{
    const civil_time cases[] = {
        {2025, 12, 6, 8, 5, 9, 4},  {2025, -1, 6, 8, 5, 9, 4}, {2025, 2, 6, 8, 5, 9, 7},
        {2025, 2, 6, 8, 5, 9, -1},  {2025, 2, 32, 8, 5, 9, 4}, {2025, 2, 6, 24, 5, 9, 4},
        {2025, 2, 6, 8, 60, 9, 4},  {2025, 2, 6, 8, 5, 61, 4}, {10000, 2, 6, 8, 5, 9, 4},
        {-1, 2, 6, 8, 5, 9, 4},
    };
    for (const civil_time& utc : cases) {
        char text[30];
        uint64_t length = format_http_date(&utc, text, sizeof(text));
        EXPECT_EQ(std::string(text, length), "Sun, 0 Jan 0000 0:00:00 GMT")
            << utc.year << "-" << utc.month << "-" << utc.day << " " << utc.hour << ":"
            << utc.minute << ":" << utc.second << " wd " << utc.weekday;
    }
}

TEST(FormatDecimal, RoomAndValues)
{
    struct decimal_case {
        uint64_t value;
        uint64_t room;
        const char* text; // null: refused
    };
    const decimal_case cases[] = {
        {0, 0, nullptr},
        {0, 1, nullptr},
        {0, 2, "0"},
        {7, 1, nullptr},
        {12345, 5, nullptr},
        {12345, 6, "12345"},
        {12345, 100, "12345"},
        {1000, 5, "1000"},
        {10, 2, nullptr},
        {UINT64_MAX, 20, nullptr},
        {UINT64_MAX, 21, "18446744073709551615"},
    };
    for (const decimal_case& dc : cases) {
        char buffer[32];
        std::memset(buffer, '#', sizeof(buffer));
        char* p = buffer;
        int result = format_decimal(&p, dc.room, dc.value);
        if (dc.text == nullptr) {
            EXPECT_EQ(result, -1) << dc.value << " in " << dc.room;
            EXPECT_EQ(p, buffer);
            EXPECT_EQ(buffer[0], '#');
        } else {
            EXPECT_EQ(result, 0) << dc.value << " in " << dc.room;
            EXPECT_EQ(std::string(buffer), dc.text);
            EXPECT_EQ(p, buffer + std::strlen(dc.text));
            EXPECT_EQ(*p, '\0');
            EXPECT_EQ(buffer[std::strlen(dc.text) + 1], '#');
        }
    }
}

TEST(StatusTable, LinesAndIndices)
{
    int previous = 0;
    for (int32_t i = 0; i < status_count; ++i) {
        const char* line = status_lines[i];
        ASSERT_NE(line, nullptr) << i;
        ASSERT_GE(std::strlen(line), 5u) << i;
        int code = std::atoi(line);
        EXPECT_GT(code, previous) << line;
        EXPECT_EQ(line[3], ' ') << line;
        previous = code;
    }
    EXPECT_STREQ(status_lines[0], "100 Continue");
    EXPECT_STREQ(status_lines[status_count - 1], "505 HTTP Version Not Supported");
    EXPECT_STREQ(status_lines[35], "422 Unprocessible entry");
    EXPECT_STREQ(status_lines[37], "431 Requested header fileds too large");

    struct named_status {
        int32_t index;
        const char* line;
    };
    const named_status named[] = {
        {status_ok, "200 OK"},
        {status_partial_content, "206 Partial Content"},
        {status_found, "302 Found"},
        {status_not_modified, "304 Not Modified"},
        {status_bad_request, "400 Bad Request"},
        {status_forbidden, "403 Forbidden"},
        {status_not_found, "404 Not Found"},
        {status_method_not_allowed, "405 Method Not Allowed"},
        {status_length_required, "411 Length Required"},
        {status_range_not_satisfiable, "416 Requested Range Not Satisfiable"},
        {status_internal_error, "500 Internal Server Error"},
    };
    for (const named_status& ns : named) EXPECT_STREQ(status_lines[ns.index], ns.line);
    EXPECT_STREQ(status_lines[status_first_failure - 1], "307 Temporary Redirect");
}

TEST(MimeTypes, GroupsInTableOrder)
{
    struct group {
        int32_t first;
        int32_t end;
        const char* prefixes[2];
    };
    const group groups[] = {
        {0, 1, {"access/", "access/"}},
        {1, mime_first_audio, {"application/", "application/"}},
        {mime_first_audio, mime_first_font, {"audio/", "audio/"}},
        {mime_first_font, mime_first_message, {"font/", "image/"}},
        {mime_first_message, mime_first_video, {"message/", "text/"}},
        {mime_first_video, mime_type_count, {"video/", "video/"}},
    };
    for (const group& g : groups) {
        for (int32_t i = g.first; i < g.end; ++i) {
            std::string text = mime_types[i];
            EXPECT_TRUE(text.rfind(g.prefixes[0], 0) == 0 || text.rfind(g.prefixes[1], 0) == 0)
                << i << " " << text;
        }
    }
    EXPECT_STREQ(mime_types[0], "access/blocked");
    EXPECT_STREQ(mime_types[mime_first_font], "font/otf");
    EXPECT_STREQ(mime_types[mime_first_message], "message/http");
    EXPECT_STREQ(mime_types[99], "text/x-script.phyton");
    EXPECT_STREQ(mime_types[mime_type_count - 1], "video/x-sgi-movie");
    for (int32_t i = 0; i < mime_type_count; ++i)
        for (int32_t j = i + 1; j < mime_type_count; ++j)
            EXPECT_STRNE(mime_types[i], mime_types[j]) << i << " " << j;
}

TEST(MimeTypes, NamedIndices)
{
    struct named_type {
        int32_t index;
        const char* text;
    };
    const named_type named[] = {
        {mime_access_blocked, "access/blocked"},
        {mime_application_javascript, "application/javascript"},
        {mime_application_octet_stream, "application/octet-stream"},
        {mime_image_png, "image/png"},
        {mime_image_webp, "image/webp"},
        {mime_image_x_icon, "image/x-icon"},
        {mime_text_css, "text/css"},
        {mime_text_html, "text/html"},
        {mime_text_markdown, "text/markdown"},
        {mime_text_plain, "text/plain"},
    };
    for (const named_type& nt : named) EXPECT_STREQ(mime_type_text(nt.index), nt.text);
    for (int32_t index : {-1, mime_type_count, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(mime_type_text(index), "application/octet-stream") << index;
}

// flush_chunk with the real send path but no sending thread: each packet is
// read from p_send/size_send and the send_done token handed back by hand.
class ChunkedBody : public ::testing::Test {
protected:
    static constexpr uint64_t half_size = 262144;

    void SetUp() override
    {
        g_min_gz.store(false);
        g_upgrade_hsts_in_effect.store(false);
        buffer.assign(2 * half_size, '#');
        response.channel = &channel;
        channel.send_base = buffer.data();
        channel.slot_buffer = buffer.data();
        channel.slot_buffer_size = half_size;
        channel.half = false;
        channel.send_result = 0;
        ASSERT_EQ(event_create(&channel.send_request, false, false), 0);
        ASSERT_EQ(event_create(&channel.send_done, false, true), 0);
        request.method = method_get;
        request.version = version_http11;
        request.keep_alive = true;
        write = channel.slot_buffer + body_offset;
        end = channel.slot_buffer + half_size;
    }
    void TearDown() override
    {
        event_close(&channel.send_request);
        event_close(&channel.send_done);
    }

    void append(const std::string& data)
    {
        std::memcpy(write, data.data(), data.size());
        write += data.size();
    }

    bool flush()
    {
        before = current_http_date();
        bool sent = flush_chunk(&response, &request, &write, &end, &header_sent, &flushing, "utf-8");
        after = current_http_date();
        return sent;
    }

    // The packet with the dates of its header block masked.
    std::string masked_packet() { return mask_current_dates(packet, before, after, true); }

    // Whether a packet was handed over since the last call; its bytes in `packet`.
    bool take_packet()
    {
        if (event_wait(&channel.send_request, 0) != event_signalled) return false;
        packet.assign(channel.p_send, channel.size_send);
        event_signal(&channel.send_done);
        return true;
    }

    std::vector<char> buffer;
    send_channel channel{};
    response_record response{};
    request_record request{};
    char* write = nullptr;
    char* end = nullptr;
    bool header_sent = false;
    bool flushing = false;
    std::string packet;
    std::string before; // the current date text just before the last flush
    std::string after;  // and just after it
};

const char chunked_header[] = "HTTP/1.1 200 OK\r\n"
                              "Server: quillnestweb\r\n"
                              "Content-Type: text/html; charset=utf-8\r\n"
                              "X-Content-Type-Options: nosniff\r\n"
                              "X-Frame-Options: SAMEORIGIN\r\n"
                              "Referrer-Policy: strict-origin-when-cross-origin\r\n"
                              "Date: <now>\r\n"
                              "Expires: <now>\r\n"
                              "Last-Modified: <now>\r\n"
                              "Connection: keep-alive\r\n"
                              "Transfer-Encoding: chunked\r\n"
                              "\r\n";

TEST_F(ChunkedBody, FirstChunkCarriesTheHeaderRightBeforeTheData)
{
    char* first_half = buffer.data();
    append("<html>hello");
    ASSERT_TRUE(flush());
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(masked_packet(), std::string(chunked_header) + "b\r\n<html>hello\r\n");
    // The data was not moved: the size line ends exactly where the body begins.
    EXPECT_EQ(channel.p_send + channel.size_send, first_half + body_offset + 11 + 2);
    EXPECT_EQ(std::memcmp(first_half + body_offset - 3, "b\r\n<html>", 9), 0);
    EXPECT_EQ(first_half[body_offset + 13], '#');
    EXPECT_TRUE(header_sent);
    EXPECT_FALSE(flushing);
    EXPECT_EQ(write, first_half + half_size + body_offset);
    EXPECT_EQ(end, first_half + 2 * half_size);

    // The second chunk, from the other half, has no header; its size needs
    // five hexadecimal digits.
    std::string data(70000, 'x');
    append(data);
    ASSERT_TRUE(flush());
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet, "11170\r\n" + data + "\r\n");
    EXPECT_EQ(channel.p_send, first_half + half_size + body_offset - 7);
    EXPECT_EQ(write, first_half + body_offset);
    EXPECT_EQ(end, first_half + half_size);
    EXPECT_FALSE(take_packet());
}

TEST_F(ChunkedBody, HeadSendsOnlyTheHeader)
{
    request.method = method_head;
    request.keep_alive = false;
    append("<html>hello");
    EXPECT_TRUE(flush());
    ASSERT_TRUE(take_packet());
    std::string expected = chunked_header;
    expected.replace(expected.find("keep-alive"), 10, "close");
    EXPECT_EQ(masked_packet(), expected);
    EXPECT_EQ(channel.p_send, buffer.data());
    EXPECT_TRUE(flushing) << "the page stops after the header";
}

TEST_F(ChunkedBody, FailedSendStopsThePage)
{
    channel.send_result = -1;
    channel.send_error = 32; // a vanished peer is not reported
    append("data");
    EXPECT_FALSE(flush());
    EXPECT_FALSE(take_packet());
    EXPECT_TRUE(flushing);
    EXPECT_FALSE(request.keep_alive);
}

TEST_F(ChunkedBody, EmptyFlushNeverSendsTheEndChunk)
{
    ASSERT_TRUE(flush());
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(masked_packet(), chunked_header);
    EXPECT_FALSE(flushing);
    EXPECT_EQ(write, buffer.data() + half_size + body_offset);

    ASSERT_TRUE(flush());
    EXPECT_FALSE(take_packet());
    EXPECT_FALSE(flushing);
    EXPECT_EQ(write, buffer.data() + half_size + body_offset);

    append("more");
    ASSERT_TRUE(flush());
    ASSERT_TRUE(take_packet());
    EXPECT_EQ(packet, "4\r\nmore\r\n");
}

TEST_F(ChunkedBody, WritePointerOutsideTheBodyIsRefused)
{
    char* outside[] = {buffer.data() + body_offset - 1, buffer.data() + half_size - 1,
                       buffer.data() + half_size};
    for (char* p : outside) {
        write = p;
        EXPECT_FALSE(flush());
        EXPECT_FALSE(take_packet());
        EXPECT_FALSE(request.keep_alive);
        request.keep_alive = true;
    }
    EXPECT_EQ(buffer[half_size - 1], '#');
    EXPECT_EQ(buffer[half_size], '#');
}

} // namespace
