// Path resolution: base directory from root, host and vdir mappings; decoding;
// normalisation that never climbs above the URL part; extension filter and
// MIME types. Requests are parsed by the real parser from a buffer whose NUL is
// the last readable byte, and decoder inputs end at an inaccessible page, so
// any read or write past them crashes.
#include "content/path_resolution.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "content/mime_types.h"
#include "core/settings.h"
#include "core/text.h"
#include "http/request.h"
#include "net/server.h"

namespace {

constexpr uint64_t receive_size = 65536;
constexpr uint64_t path_units = 8192;

std::u16string widen(const std::string& utf8)
{
    std::vector<char16_t> out(utf8.size() + 1);
    uint64_t n = utf8_to_utf16(out.data(), out.size(), utf8.c_str());
    return std::u16string(out.data(), n);
}

std::string narrow(const char16_t* begin, const char16_t* end)
{
    std::u16string s(begin, end);
    std::vector<char> out(s.size() * 4 + 1);
    uint64_t n = utf16_to_utf8(out.data(), out.size(), s.c_str());
    return std::string(out.data(), n);
}

// A readable area that ends at an inaccessible page.
struct guard_area {
    char* base;     // start of the readable part
    char* boundary; // first inaccessible byte
};

guard_area& area()
{
    static guard_area a = [] {
        const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
        const uint64_t readable = receive_size + page;
        void* p = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) abort();
        char* base = (char*)p;
        if (mprotect(base + readable, page, PROT_NONE) != 0) abort();
        return guard_area{base, base + readable};
    }();
    return a;
}

// Copies bytes so that the last of them is the last readable byte.
char* place_bytes(const std::string& bytes)
{
    char* data = area().boundary - bytes.size();
    std::memcpy(data, bytes.data(), bytes.size());
    return data;
}

// A path segment is ".." when it sits between separators (or the ends).
bool has_dot_dot_segment(const std::string& path)
{
    std::string segment;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            if (segment == "..") return true;
            segment.clear();
        } else {
            segment += path[i];
        }
    }
    return false;
}

struct outcome {
    int result;          // what resolve_path returned
    bool redirect;       // redirect flag
    std::string path;    // the finished path, UTF-8
    std::string prefix;  // the units before the URL part
    std::string url;     // the URL part
    int32_t type;        // MIME type index
};

// Every test starts from empty process-wide settings and an 8192-unit path
// buffer; settings come from settings text as a reading applies it.
class path_resolution_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings_release();
        server.reset(new G_SOCKET());
        server->cw_connections = slot_count;
        buffer.assign(path_units, u'#');
        resolved = resolved_path{};
        resolved.path_buffer = buffer.data();
        resolved.capacity = buffer.size();
    }

    void TearDown() override { settings_release(); }

    void configure(const std::string& utf8)
    {
        settings_reading reading;
        ASSERT_EQ(settings_parse_text(server.get(), widen(utf8).c_str(), &reading), 0);
    }

    outcome finish(int result)
    {
        outcome o{result, resolved.redirect, "", "", "", resolved.type};
        if (result != 0) return o;
        EXPECT_EQ(resolved.url_part, resolved.path_buffer + resolved.prefix_length);
        EXPECT_EQ(resolved.path_end, resolved.url_part + resolved.url_part_length);
        EXPECT_LT(resolved.path_end, resolved.path_buffer + resolved.capacity);
        EXPECT_EQ(*resolved.path_end, 0);
        EXPECT_EQ(resolved.url_part[0], u'/');
        for (const char16_t* p = resolved.path_buffer; p < resolved.path_end; ++p) EXPECT_NE(*p, 0);
        o.path = narrow(resolved.path_buffer, resolved.path_end);
        o.prefix = narrow(resolved.path_buffer, resolved.url_part);
        o.url = narrow(resolved.url_part, resolved.path_end);
        return o;
    }

    // Parses "GET target HTTP/1.1" with the Host header (none when empty)
    // from the end of the guard area, then resolves it.
    outcome resolve(const std::string& target, const std::string& host = "h")
    {
        std::string text = "GET " + target + " HTTP/1.1\r\n";
        if (!host.empty()) text += "Host: " + host + "\r\n";
        text += "\r\n";
        return resolve_raw(text);
    }

    outcome resolve_raw(const std::string& text)
    {
        data = place_bytes(text + std::string(1, '\0'));
        reset_request(&request);
        EXPECT_TRUE(parse_request(&request, data, text.size(), area().boundary)) << text;
        EXPECT_TRUE(request.accepted) << text;
        if (!request.accepted) return outcome{-2, false, "", "", "", -1};
        return finish(resolve_path(&resolved, &request));
    }

    // Fills the record directly: the path (and query) need not be what the
    // parser lets through, and may be longer than a request line.
    outcome resolve_direct(const std::string& path, const char* host = nullptr)
    {
        data = place_bytes(path + std::string(2, '\0'));
        reset_request(&request);
        request.path = data;
        request.path_length = request.target_length = path.size();
        request.host = const_cast<char*>(host);
        request.hostname_length = host ? std::strlen(host) : 0;
        request.method = method_get;
        return finish(resolve_path(&resolved, &request));
    }

    std::unique_ptr<G_SOCKET> server;
    std::vector<char16_t> buffer;
    resolved_path resolved;
    request_record request;
    char* data = nullptr;
};

// ---------------------------------------------------------------- edge cases

struct resolve_case {
    const char* name;
    const char* settings;
    const char* target;  // request target as sent
    const char* host;    // Host header value as sent
    int result;
    const char* path;    // finished path (result 0) or rewritten request path (redirect)
    int32_t type;
};

void PrintTo(const resolve_case& c, std::ostream* out) { *out << c.name << " " << c.target; }

class resolve_cases : public path_resolution_test, public ::testing::WithParamInterface<resolve_case> {};

TEST_P(resolve_cases, give_the_path_and_type)
{
    const resolve_case& c = GetParam();
    configure(c.settings);
    outcome o = resolve(c.target, c.host);
    ASSERT_EQ(o.result, c.result) << c.target;
    if (c.result == 0) {
        EXPECT_EQ(o.path, c.path) << c.target;
        EXPECT_EQ(o.type, c.type) << c.target;
        EXPECT_FALSE(o.redirect);
    } else if (c.type == -1) {
        EXPECT_TRUE(o.redirect);
        EXPECT_EQ(std::string(request.path), c.path);
        EXPECT_EQ(request.path_length, std::string(c.path).find('?') == std::string::npos
                                           ? std::strlen(c.path)
                                           : std::string(c.path).find('?'));
    } else {
        EXPECT_FALSE(o.redirect);
    }
}

constexpr const char* www = "root=/var/www/html\n";
constexpr const char* windows_root = "root=C:\\inetpub\\wwwroot\n";
constexpr const char* media = "root=/var/www/html\nvdir=\n{\nmedia|D:\\videos|\npics|img|\nabs|/srv/abs|\n}\n";
constexpr const char* intranet = "root=/var/www/html\nhost=\n{\nintranet|intra|\nCorp|corp|\nfar|/srv/far|\n}\n";
constexpr const char* both =
    "root=/var/www/html\nhost=\n{\nintranet|intra|\nfar|/srv/far|\n}\nvdir=\n{\npics|img|\nabs|/srv/abs|\n}\n";
constexpr const char* allow_html_css = "root=/var/www/html\next=allow\n{\nhtml css\n}\n";
constexpr const char* allow_no_ext_blocked = "root=/var/www/html\next=allow\n{\nhtml css\n}\next_no_ext=block\n";
constexpr const char* no_ext_blocked = "root=/var/www/html\next_no_ext=block\n";
constexpr const char* block_exe = "root=/var/www/html\next=block\n{\nexe EXE2 é\n}\n";

INSTANTIATE_TEST_SUITE_P(
    path_resolution, resolve_cases,
    ::testing::Values(
        // The URL part never climbs above its "/".
        resolve_case{"dot_dot_under_windows_root", windows_root, "/a/../../etc/x", "h", 0,
                     "C:\\inetpub\\wwwroot/etc/x", 8},
        resolve_case{"dot_dot_under_root", www, "/a/../../etc/x", "h", 0, "/var/www/html/etc/x", 8},
        resolve_case{"encoded_dots", www, "/a/%2e%2e/b", "h", 0, "/var/www/html/b", 8},
        resolve_case{"encoded_backslashes", www, "/x%5c..%5cy", "h", 0, "/var/www/html/y", 8},
        resolve_case{"dot_segment_keeps_trailing_slash", www, "/a/b/.", "h", 0, "/var/www/html/a/b/", 91},
        resolve_case{"dot_dot_keeps_trailing_slash", www, "/a/b/c/..", "h", 0, "/var/www/html/a/b/", 91},
        resolve_case{"empty_segments_dropped", www, "//a///b", "h", 0, "/var/www/html/a/b", 8},
        resolve_case{"root_alone", www, "/", "h", 0, "/var/www/html/", 91},
        resolve_case{"plus_is_kept", www, "/a+b%20c.txt", "h", 0, "/var/www/html/a+b c.txt", 96},
        resolve_case{"percent_ff_stays", www, "/a%ffb", "h", 0, "/var/www/html/a%ffb", 8},
        resolve_case{"percent_FF_stays", www, "/a%FF.txt", "h", 0, "/var/www/html/a%FF.txt", 96},
        resolve_case{"percent_without_digits", www, "/100%/x%4.txt", "h", 0, "/var/www/html/100%/x%4.txt", 96},
        resolve_case{"percent_00_ends_the_path", www, "/a.txt%00.exe", "h", 0, "/var/www/html/a.txt", 96},
        resolve_case{"utf8_name", www, "/%C3%A9t%C3%A9.md", "h", 0, "/var/www/html/été.md", 94},
        resolve_case{"percent_00_after_slash", www, "/%00", "h", 0, "/var/www/html/", 91},
        // Types.
        resolve_case{"directory", www, "/docs/", "h", 0, "/var/www/html/docs/", 91},
        resolve_case{"capital_extension", www, "/FILE.TXT", "h", 0, "/var/www/html/FILE.TXT", 96},
        resolve_case{"last_extension_counts", www, "/a.tar.gz", "h", 0, "/var/www/html/a.tar.gz", 34},
        resolve_case{"jpeg", www, "/photo.jpeg", "h", 0, "/var/www/html/photo.jpeg", 79},
        resolve_case{"c_plus_plus", www, "/x.c++", "h", 0, "/var/www/html/x.c++", 96},
        resolve_case{"ram_is_not_ram_comma", www, "/song.ram", "h", 0, "/var/www/html/song.ram", 8},
        resolve_case{"ram_comma", www, "/song.ram,", "h", 0, "/var/www/html/song.ram,", 60},
        resolve_case{"dot_in_directory_name", www, "/notes.d/readme", "h", 0, "/var/www/html/notes.d/readme", 8},
        resolve_case{"empty_extension", www, "/file.", "h", 0, "/var/www/html/file.", 8},
        resolve_case{"dot_file", www, "/.htaccess", "h", 0, "/var/www/html/.htaccess", 8},
        resolve_case{"extension_past_window", www, "/x.abcdefghijklmnop", "h", 0,
                     "/var/www/html/x.abcdefghijklmnop", 8},
        // Virtual directories.
        resolve_case{"vdir_absolute", media, "/media/a.mp4", "h", 0, "D:\\videos/a.mp4", 105},
        resolve_case{"vdir_absolute_slash", media, "/abs/a.png", "h", 0, "/srv/abs/a.png", 80},
        resolve_case{"vdir_relative", media, "/pics/a.png", "h", 0, "/var/www/html/img/a.png", 80},
        resolve_case{"vdir_with_slash", media, "/media/", "h", 0, "D:\\videos/", 91},
        resolve_case{"vdir_remainder_cannot_climb", media, "/media/../../x", "h", 0, "D:\\videos/x", 8},
        resolve_case{"vdir_decoded_name", media, "/%6Dedia/a.mp4", "h", 0, "D:\\videos/a.mp4", 105},
        resolve_case{"vdir_name_case_sensitive", media, "/Media/a.mp4", "h", 0, "/var/www/html/Media/a.mp4", 105},
        resolve_case{"vdir_only_first_segment", media, "/x/media/a.mp4", "h", 0, "/var/www/html/x/media/a.mp4", 105},
        resolve_case{"vdir_redirect", media, "/media", "h", -1, "/media/", -1},
        resolve_case{"vdir_redirect_with_query", media, "/media?x=1", "h", -1, "/media/?x=1", -1},
        resolve_case{"vdir_redirect_empty_query", media, "/pics?", "h", -1, "/pics/?", -1},
        resolve_case{"vdir_unknown_no_redirect", media, "/video", "h", 0, "/var/www/html/video", 8},
        // Host mappings: the value as parsed, lower-case, port included.
        resolve_case{"host_relative", intranet, "/index.html", "intranet", 0, "/var/www/html/intra/index.html", 91},
        resolve_case{"host_lower_cased_by_parser", intranet, "/x", "Intranet", 0, "/var/www/html/intra/x", 8},
        resolve_case{"host_port_does_not_match", intranet, "/x", "intranet:8080", 0, "/var/www/html/x", 8},
        resolve_case{"host_list_capitals_never_match", intranet, "/x", "Corp", 0, "/var/www/html/x", 8},
        resolve_case{"host_absolute", intranet, "/x", "far", 0, "/srv/far/x", 8},
        resolve_case{"host_unknown", intranet, "/x", "other", 0, "/var/www/html/x", 8},
        resolve_case{"host_relative_vdir_relative", both, "/pics/a.png", "intranet", 0,
                     "/var/www/html/intra/img/a.png", 80},
        resolve_case{"host_relative_vdir_absolute", both, "/abs/a.png", "intranet", 0, "/srv/abs/a.png", 80},
        resolve_case{"host_absolute_vdir_relative", both, "/pics/a.png", "far", 0, "/srv/far/img/a.png", 80},
        resolve_case{"host_absolute_vdir_absolute", both, "/abs/a.png", "far", 0, "/srv/abs/a.png", 80},
        resolve_case{"host_absolute_no_vdir", both, "/other/a.png", "far", 0, "/srv/far/other/a.png", 80},
        // Extension filter.
        resolve_case{"allow_list_refuses_png", allow_html_css, "/a.png", "h", 0, "/var/www/html/a.png", 0},
        resolve_case{"allow_list_passes_html", allow_html_css, "/a.HTML", "h", 0, "/var/www/html/a.HTML", 91},
        resolve_case{"allow_list_passes_css", allow_html_css, "/a.css", "h", 0, "/var/www/html/a.css", 89},
        resolve_case{"allow_list_no_extension", allow_html_css, "/README", "h", 0, "/var/www/html/README", 8},
        resolve_case{"allow_list_directory", allow_html_css, "/docs/", "h", 0, "/var/www/html/docs/", 91},
        resolve_case{"allow_list_dot_in_directory", allow_html_css, "/notes.d/readme", "h", 0,
                     "/var/www/html/notes.d/readme", 0},
        resolve_case{"allow_list_empty_extension", allow_html_css, "/file.", "h", 0, "/var/www/html/file.", 0},
        resolve_case{"no_ext_blocked_with_list", allow_no_ext_blocked, "/README", "h", 0, "/var/www/html/README", 0},
        resolve_case{"no_ext_blocked", no_ext_blocked, "/README", "h", 0, "/var/www/html/README", 0},
        resolve_case{"no_ext_blocked_passes_extension", no_ext_blocked, "/a.txt", "h", 0, "/var/www/html/a.txt", 96},
        resolve_case{"no_ext_blocked_window", no_ext_blocked, "/x.abcdefghijklmnop", "h", 0,
                     "/var/www/html/x.abcdefghijklmnop", 0},
        resolve_case{"no_ext_blocked_window_edge", no_ext_blocked, "/x.abcdefghijklmn", "h", 0,
                     "/var/www/html/x.abcdefghijklmn", 8},
        resolve_case{"block_list_refuses", block_exe, "/setup.EXE", "h", 0, "/var/www/html/setup.EXE", 0},
        resolve_case{"block_list_lower_cased_words", block_exe, "/a.exe2", "h", 0, "/var/www/html/a.exe2", 0},
        resolve_case{"block_list_non_ascii", block_exe, "/a.%C3%A9", "h", 0, "/var/www/html/a.é", 0},
        resolve_case{"block_list_passes", block_exe, "/a.txt", "h", 0, "/var/www/html/a.txt", 96}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(path_resolution_test, redirect_rewrites_a_version_less_line_up_to_its_last_byte)
{
    // The query's NUL moves onto the NUL behind the received bytes, which is
    // the last readable byte of the area.
    configure(media);
    outcome o = resolve_raw("GET /media?x=1\n");
    ASSERT_EQ(o.result, -1);
    EXPECT_TRUE(o.redirect);
    EXPECT_STREQ(request.path, "/media/?x=1");
    EXPECT_EQ(request.path_length, 7u);
    EXPECT_STREQ(request.query, "x=1");
    EXPECT_EQ(request.query, request.path + request.path_length + 1);
    EXPECT_EQ(request.target_length, 11u);

    o = resolve_raw("GET /media\n");
    ASSERT_EQ(o.result, -1);
    EXPECT_STREQ(request.path, "/media/");
    EXPECT_EQ(request.query, nullptr);
}

TEST_F(path_resolution_test, redirect_leaves_the_header_values_alone)
{
    configure(media);
    outcome o = resolve_raw("GET /media?a=b HTTP/1.1\r\nHost: site\r\nAccept: x\r\n\r\n");
    ASSERT_EQ(o.result, -1);
    EXPECT_STREQ(request.path, "/media/?a=b");
    EXPECT_STREQ(request.host, "site");
    EXPECT_STREQ(request.accept, "x");
}

TEST_F(path_resolution_test, url_part_and_prefix_are_reported)
{
    configure(both);
    outcome o = resolve("/pics/sub/a.png", "intranet");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.prefix, "/var/www/html/intra/img");
    EXPECT_EQ(o.url, "/sub/a.png");
    EXPECT_EQ(resolved.prefix_length, 23u);
    EXPECT_EQ(resolved.url_part_length, 10u);
}

TEST_F(path_resolution_test, a_second_resolution_starts_afresh)
{
    configure(media);
    ASSERT_EQ(resolve("/media").result, -1);
    outcome o = resolve("/a.txt");
    ASSERT_EQ(o.result, 0);
    EXPECT_FALSE(o.redirect);
    EXPECT_EQ(o.path, "/var/www/html/a.txt");
}

TEST_F(path_resolution_test, a_request_without_host_uses_the_root)
{
    configure(intranet);
    outcome o = resolve_raw("GET /x HTTP/1.0\r\n\r\n");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/var/www/html/x");
}

// ---------------------------------------------------------------- room

TEST_F(path_resolution_test, failures_for_missing_or_oversized_pieces)
{
    // No root at all.
    EXPECT_EQ(resolve("/x").result, -1);

    configure("root=/r\n");
    resolved.capacity = 2; // the root's two units need a third for the NUL
    EXPECT_EQ(resolve("/x").result, -1);
    resolved.capacity = 3; // root fits, the URL part "/" and its NUL do not
    EXPECT_EQ(resolve("/").result, -1);
    resolved.capacity = 4;
    outcome o = resolve("/");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/r/");
    EXPECT_EQ(resolve("/a").result, -1);
    resolved.capacity = 0;
    EXPECT_EQ(resolve("/").result, -1);

    configure("root=/r\nvdir=\n{\nv|tt|\n}\n");
    resolved.capacity = 6; // "/r" "/" "tt" leaves one unit: the URL part does not fit
    EXPECT_EQ(resolve("/v/").result, -1);
    resolved.capacity = 5; // the target needs room for its NUL
    EXPECT_EQ(resolve("/v/").result, -1);
    resolved.capacity = 8;
    o = resolve("/v/");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/r/tt/");
}

TEST_F(path_resolution_test, decoded_paths_of_8191_bytes_fail)
{
    configure(www);
    // The root's 13 units leave 8179 for the URL part and its NUL.
    outcome o = resolve_direct("/" + std::string(8177, 'a'));
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.url.size(), 8178u);
    EXPECT_EQ(resolve_direct("/" + std::string(8178, 'a')).result, -1);

    // With room to spare, the decoder's limit decides.
    buffer.assign(2 * path_units, u'#');
    resolved.path_buffer = buffer.data();
    resolved.capacity = buffer.size();
    o = resolve_direct("/" + std::string(8189, 'a'));
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.url.size(), 8190u);
    EXPECT_EQ(resolve_direct("/" + std::string(8190, 'a')).result, -1);
}

// ---------------------------------------------------------------- path safety

struct attack_case {
    const char* name;
    const char* target; // as sent; may hold bytes the parser takes as they are
    int result;
    const char* url;    // URL part after resolution
};

void PrintTo(const attack_case& c, std::ostream* out) { *out << c.name << " " << c.target; }

class path_attacks : public path_resolution_test, public ::testing::WithParamInterface<attack_case> {};

TEST_P(path_attacks, never_leave_the_prefix)
{
    const attack_case& c = GetParam();
    configure("root=/var/www/html\nvdir=\n{\n..|sub|\nmedia|/srv/media|\n}\nhost=\n{\n..|up|\n}\n");
    for (bool parsed : {true, false}) {
        outcome o = parsed ? resolve(c.target) : resolve_direct(c.target, "h");
        ASSERT_EQ(o.result, c.result) << c.target;
        if (o.result != 0) continue;
        EXPECT_EQ(o.url, c.url) << c.target;
        EXPECT_FALSE(has_dot_dot_segment(o.path)) << o.path;
        EXPECT_EQ(o.url.find('\\'), std::string::npos) << o.path;
        EXPECT_TRUE(o.prefix == "/var/www/html" || o.prefix == "/var/www/html/sub" || o.prefix == "/srv/media")
            << o.prefix;
    }
}

INSTANTIATE_TEST_SUITE_P(
    path_resolution, path_attacks,
    ::testing::Values(
        attack_case{"plain", "/../etc/passwd", 0, "/etc/passwd"},
        attack_case{"many", "/../../../../../../etc/passwd", 0, "/etc/passwd"},
        attack_case{"after_names", "/a/b/../../../../etc", 0, "/etc"},
        attack_case{"encoded_slash", "/x/..%2f..%2fetc/passwd", 0, "/etc/passwd"},
        attack_case{"encoded_dots", "/x/%2e%2e/%2E%2E/etc", 0, "/etc"},
        attack_case{"half_encoded", "/x/.%2e/%2e./etc", 0, "/etc"},
        attack_case{"all_encoded", "/x%2f%2e%2e%2f%2e%2e%2fetc", 0, "/etc"},
        attack_case{"backslashes", "/x\\..\\..\\etc\\passwd", 0, "/etc/passwd"},
        attack_case{"encoded_backslashes", "/x%5c..%5C..%5cetc", 0, "/etc"},
        attack_case{"mixed_separators", "/x/..\\../%5c..%2f/etc", 0, "/etc"},
        attack_case{"double_encoding_stays_literal", "/%252e%252e/etc", 0, "/%2e%2e/etc"},
        attack_case{"overlong_dots", "/x/%c0%ae%c0%ae/%c0%ae%c0%ae/etc", 0, "/etc"},
        attack_case{"overlong_slash", "/x/..%c0%af..%c0%afetc", 0, "/etc"},
        attack_case{"overlong_backslash", "/x/..%c1%9c..%c1%9cetc", 0, "/etc"},
        attack_case{"overlong_three_bytes", "/x/%e0%80%ae%e0%80%ae/etc", 0, "/etc"},
        attack_case{"overlong_four_bytes", "/x/%f0%80%80%ae%f0%80%80%ae/etc", 0, "/etc"},
        attack_case{"raw_overlong_dots", "/x/\xc0\xae\xc0\xae/\xc0\xae\xc0\xae/etc", 0, "/etc"},
        attack_case{"nul_after_dots", "/a/..%00/../etc", 0, "/"},
        attack_case{"overlong_nul_after_dots", "/a/..%c0%80/etc", 0, "/"},
        attack_case{"vdir_name_cut_by_nul", "/..%00/../etc", 0, "/etc"},
        attack_case{"vdir_name_cut_by_overlong_nul", "/..%c0%80/../etc", 0, "/etc"},
        attack_case{"overlong_nul_mid_path", "/a/..%c0%80/../../etc", 0, "/"},
        attack_case{"three_byte_nul", "/a/%e0%80%80/../../etc", 0, "/a/"},
        attack_case{"three_dots_are_a_name", "/..../.../etc", 0, "/..../.../etc"},
        attack_case{"dot_slash_runs", "/./././../.././/etc", 0, "/etc"},
        attack_case{"trailing_dot_dot", "/a/b/..", 0, "/a/"},
        attack_case{"vdir_dot_dot_redirects", "/..", -1, ""},
        attack_case{"trailing_encoded_dot", "/%2e", 0, "/"},
        attack_case{"vdir_named_dot_dot", "/%2e%2e/../../x", 0, "/x"},
        attack_case{"vdir_named_dot_dot_raw", "/../x", 0, "/x"},
        attack_case{"vdir_named_dot_dot_overlong", "/%c0%ae%c0%ae/../x", 0, "/x"},
        attack_case{"vdir_remainder", "/media/%2e%2e/%2e%2e/etc", 0, "/etc"},
        attack_case{"vdir_remainder_backslash", "/media/..\\..\\etc", 0, "/etc"},
        attack_case{"only_nul", "/%00", 0, "/"},
        attack_case{"undecodable", "/\x80\x80", 0, "/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(path_resolution_test, host_values_are_lookup_keys_only)
{
    configure("root=/var/www/html\nhost=\n{\nup|sub|\n}\n");
    for (const char* host : {"..", "../..", "a/../..", "..\\..", "%2e%2e", "/etc", "\\etc"}) {
        outcome o = resolve_direct("/x", host);
        ASSERT_EQ(o.result, 0) << host;
        EXPECT_EQ(o.path, "/var/www/html/x") << host;
    }
    for (const char* host : {"..", "../..", "a/b"}) {
        outcome o = resolve("/x", host);
        ASSERT_EQ(o.result, 0) << host;
        EXPECT_EQ(o.path, "/var/www/html/x") << host;
    }
}

TEST_F(path_resolution_test, very_long_climbing_paths_stay_inside)
{
    configure(www);
    std::string climb;
    while (climb.size() < 8000) climb += "/..";
    outcome o = resolve(climb + "/etc");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/var/www/html/etc");

    std::string encoded;
    while (encoded.size() < 8000) encoded += "%2e%2e%5c";
    o = resolve("/" + encoded + "etc");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/var/www/html/etc");

    // Deep names first, then more ".." than names.
    std::string deep;
    for (int i = 0; i < 1000; ++i) deep += "/d";
    for (int i = 0; i < 1500; ++i) deep += "/..";
    o = resolve(deep + "/x");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, "/var/www/html/x");

    EXPECT_EQ(resolve_direct("/" + std::string(20000, '.')).result, -1);
}

// ---------------------------------------------------------------- decode_url_path

struct decode_case {
    const char* name;
    std::string input;
    uint64_t length; // 0: the input's size
    bool decode;
    uint64_t room;
    uint64_t units;  // result
    std::u16string output;
};

void PrintTo(const decode_case& c, std::ostream* out) { *out << c.name; }

class decode_cases : public ::testing::TestWithParam<decode_case> {};

TEST_P(decode_cases, at_the_edge_of_readable_memory)
{
    const decode_case& c = GetParam();
    // Once with the NUL as the last readable byte, once with no NUL at all
    // and the length as the only bound.
    for (bool terminated : {true, false}) {
        std::string bytes = terminated ? c.input + std::string(1, '\0') : c.input;
        if (bytes.empty()) continue;
        const char* input = place_bytes(bytes);
        uint64_t length = c.length ? c.length : (terminated ? c.input.size() + 1 : c.input.size());
        if (!terminated && c.length > c.input.size()) continue;
        std::vector<char16_t> out(c.room + 1, u'#');
        uint64_t units = decode_url_path(out.data(), c.room, input, length, c.decode);
        ASSERT_EQ(units, c.units) << c.name << (terminated ? " terminated" : " bounded");
        if (units != 0) {
            EXPECT_EQ(std::u16string(out.data(), units), c.output) << c.name;
            EXPECT_EQ(out[units], 0);
        }
        EXPECT_EQ(out[c.room], u'#') << "wrote past the room";
    }
}

INSTANTIATE_TEST_SUITE_P(
    path_resolution, decode_cases,
    ::testing::Values(
        decode_case{"plain", "/a/b", 0, true, 16, 4, u"/a/b"},
        decode_case{"hex_either_case", "%41%6a%6A", 0, true, 16, 3, u"Ajj"},
        decode_case{"percent_ff", "%ff%FF", 0, true, 16, 6, u"%ff%FF"},
        decode_case{"percent_fe", "%fe", 0, true, 16, 0, u""},
        decode_case{"lone_percent_at_end", "a%", 0, true, 16, 2, u"a%"},
        decode_case{"one_digit_at_end", "a%4", 0, true, 16, 3, u"a%4"},
        decode_case{"no_digits", "%zz%4g", 0, true, 16, 6, u"%zz%4g"},
        decode_case{"plus_unchanged", "a+b", 0, true, 16, 3, u"a+b"},
        decode_case{"nul_ends_text", "ab%00cd", 0, true, 16, 2, u"ab"},
        decode_case{"nul_first", "%00ab", 0, true, 16, 0, u""},
        decode_case{"single_pass", "%2541", 0, true, 16, 3, u"%41"},
        decode_case{"utf8", "%C3%A9%e2%82%ac", 0, true, 16, 2, u"\u00e9\u20ac"},
        decode_case{"surrogate_pair", "%F0%9F%98%80", 0, true, 16, 2, u"\U0001F600"},
        decode_case{"overlong_dot", "%c0%ae", 0, true, 16, 1, u"."},
        decode_case{"without_decoding", "%41+%ff", 0, false, 16, 7, u"%41+%ff"},
        decode_case{"length_bounds_the_segment", "media/x", 5, true, 16, 5, u"media"},
        decode_case{"length_cuts_an_escape", "ab%41", 4, true, 16, 4, u"ab%4"},
        decode_case{"room_exact", "abc", 0, true, 4, 3, u"abc"},
        decode_case{"room_short", "abc", 0, true, 3, 0, u""},
        decode_case{"room_zero", "abc", 0, true, 0, 0, u""},
        decode_case{"longest", std::string(8190, 'x'), 0, true, 8192, 8190, std::u16string(8190, u'x')},
        decode_case{"too_long", std::string(8191, 'x'), 0, true, 8192, 0, u""},
        decode_case{"too_long_undecoded", std::string(8191, 'x'), 0, false, 8192, 0, u""},
        decode_case{"longest_decoded", [] {
                        std::string s;
                        for (int i = 0; i < 8190; ++i) s += "%41";
                        return s;
                    }(),
                    0, true, 8192, 8190, std::u16string(8190, u'A')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(decode_url_path, refuses_null_and_empty_arguments)
{
    char16_t out[8];
    EXPECT_EQ(decode_url_path(nullptr, 8, "a", 1, true), 0u);
    EXPECT_EQ(decode_url_path(out, 8, nullptr, 1, true), 0u);
    EXPECT_EQ(decode_url_path(out, 8, "a", 0, true), 0u);
    EXPECT_EQ(decode_url_path(out, 8, "", 1, true), 0u);
}

// ---------------------------------------------------------------- classify_extension

class classify_test : public path_resolution_test {
protected:
    // Classifies a name as the directory listing does: url_part at its start.
    int32_t classify(const std::string& name)
    {
        std::u16string wide = widen(name);
        std::copy(wide.begin(), wide.end(), buffer.begin() + 3);
        buffer[3 + wide.size()] = 0;
        resolved.url_part = buffer.data() + 3;
        resolved.path_end = resolved.url_part + wide.size();
        resolved.type = -5;
        classify_extension(&resolved);
        return resolved.type;
    }
};

TEST_F(classify_test, the_window_reaches_neither_before_the_name_nor_past_15_units)
{
    buffer[2] = u'.'; // a "." in front of the name must not count
    EXPECT_EQ(classify("README"), 8);
    EXPECT_EQ(classify("photo.JPEG"), 79);
    EXPECT_EQ(classify("x.abcdefghijklmn"), 8);
    EXPECT_EQ(classify(""), 8);
    configure("ext_no_ext=block\n");
    buffer[2] = u'.';
    EXPECT_EQ(classify("README"), 0);
    EXPECT_EQ(classify(""), 0);
    EXPECT_EQ(classify("abcdefghijklmn"), 0);
    EXPECT_EQ(classify(".abcdefghijklmn"), 8);   // 15 units: the "." opens the window
    EXPECT_EQ(classify(".abcdefghijklmno"), 0);  // 16 units: it lies outside
    EXPECT_EQ(classify("a.b.abcdefghijklmno"), 0);
}

TEST_F(classify_test, long_non_ascii_extensions_are_refused_by_allow_lists_only)
{
    const std::string long_ext = "x.\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"; // 16 bytes
    const std::string short_ext = "x.\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9z";     // 15 bytes
    EXPECT_EQ(classify(long_ext), 8);
    EXPECT_EQ(classify(short_ext), 8);
    configure("ext=allow\n{\n\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9z html\n}\n");
    EXPECT_EQ(classify(long_ext), 0);
    EXPECT_EQ(classify(short_ext), 8);
    EXPECT_EQ(classify("x.\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80"), 0);
    configure("ext=block\n{\nexe\n}\n");
    EXPECT_EQ(classify(long_ext), 8);
    EXPECT_EQ(classify(short_ext), 8);
}

TEST_F(classify_test, a_trailing_slash_is_a_directory_whatever_the_filter)
{
    configure("ext=allow\n{\ncss\n}\next_no_ext=block\n");
    EXPECT_EQ(classify("docs/"), 91);
    EXPECT_EQ(classify("a.b/"), 91);
}

// ---------------------------------------------------------------- extension table

TEST(extension_table, every_entry_is_found_by_the_sorted_search)
{
    std::vector<const char*> names;
    for (const extension_row& row : extension_table) names.push_back(row.name);
    ASSERT_EQ(names.size(), 187u);
    for (uint64_t i = 0; i < extension_count; ++i) {
        EXPECT_EQ(find_sorted(names.data(), names.size(), extension_table[i].name), (int64_t)i);
        EXPECT_EQ(extension_type(extension_table[i].name), extension_table[i].type);
    }
}

TEST(extension_table, sample_types_and_absent_keys)
{
    struct row {
        const char* extension;
        const char* type;
    };
    const row rows[] = {
        {"001", "application/x-7z-compressed"}, {"7z", "application/x-7z-compressed"},
        {"application", "application/x-ms-application"}, {"c", "text/plain"}, {"c++", "text/plain"},
        {"cab", "application/vnd.ms-cab-compressed"}, {"docx",
         "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"gz", "application/x-gzip"}, {"htm", "text/html"}, {"jpeg", "image/jpeg"},
        {"md", "text/markdown"}, {"mp4v", "video/mp4"}, {"ram,", "audio/vnd.rn-realaudio"},
        {"ra", "audio/vnd.rn-realaudio"}, {"txt", "text/plain"}, {"woff2", "font/woff2"},
        {"z", "application/x-compress"}, {"movie", "video/x-sgi-movie"}, {"py", "text/x-script.phyton"},
        {"ram", "application/octet-stream"}, {"xlsx", "application/octet-stream"},
        {"TXT", "application/octet-stream"}, {"", "application/octet-stream"},
        {"txt ", "application/octet-stream"}, {"zz", "application/octet-stream"},
    };
    for (const row& r : rows) EXPECT_STREQ(mime_type_text(extension_type(r.extension)), r.type) << r.extension;
}

TEST(extension_table, types_no_extension_names)
{
    for (int32_t type : {0, 21, 39, 50, 86, 93}) {
        for (const extension_row& row : extension_table) EXPECT_NE(row.type, type) << row.name;
    }
}

// ---------------------------------------------------------------- find_mapping

TEST(find_mapping, exact_case_sensitive_search_over_every_table_size)
{
    std::vector<std::u16string> names;
    for (char16_t c = u'b'; c <= u'z'; c += 2) names.push_back(std::u16string(1, c) + u"x");
    for (size_t count = 1; count <= names.size(); ++count) {
        std::vector<mapping_entry> entries(count);
        for (size_t i = 0; i < count; ++i) entries[i] = mapping_entry{names[i].c_str(), u"t", u"", 1, true};
        mapping_list list{entries.data(), nullptr, count};
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(find_mapping(&list, names[i].c_str()), &entries[i]);
        for (char16_t c = u'a'; c <= u'z'; c += 2) {
            std::u16string absent = std::u16string(1, c) + u"x";
            EXPECT_EQ(find_mapping(&list, absent.c_str()), nullptr);
        }
        EXPECT_EQ(find_mapping(&list, u"Bx"), nullptr);
        EXPECT_EQ(find_mapping(&list, u"b"), nullptr);
        EXPECT_EQ(find_mapping(&list, u"bxx"), nullptr);
        EXPECT_EQ(find_mapping(&list, u""), nullptr);
        EXPECT_EQ(find_mapping(&list, u"\uffff"), nullptr);
    }
    mapping_list empty{nullptr, nullptr, 0};
    EXPECT_EQ(find_mapping(&empty, u"a"), nullptr);
    EXPECT_EQ(find_mapping(nullptr, u"a"), nullptr);
}

// ---------------------------------------------------------------- copy_bounded

TEST(copy_bounded, copies_refuses_or_clears)
{
    const char source[] = "abcdef";
    char out[8];
    auto fresh = [&] { std::memset(out, '#', sizeof out); };

    fresh();
    EXPECT_EQ(copy_bounded(out, 8, source, 6), 0);
    EXPECT_EQ(std::string(out, 8), "abcdef##");
    fresh();
    EXPECT_EQ(copy_bounded(out, 6, source, 6), 0);
    EXPECT_EQ(std::string(out, 8), "abcdef##");
    fresh();
    EXPECT_EQ(copy_bounded(out, 5, source, 6), 34);
    EXPECT_EQ(std::string(out, 8), std::string(5, '\0') + "###");
    fresh();
    EXPECT_EQ(copy_bounded(out, 0, source, 6), 34);
    EXPECT_EQ(std::string(out, 8), "########");
    EXPECT_EQ(copy_bounded(nullptr, 8, source, 6), 22);
    EXPECT_EQ(copy_bounded(out, 8, nullptr, 6), 22);
    EXPECT_EQ(copy_bounded(nullptr, 0, nullptr, 0), 0);
    fresh();
    EXPECT_EQ(copy_bounded(out, 0, source, 0), 0);
    EXPECT_EQ(std::string(out, 8), "########");
}

} // namespace
