#include "core/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/reload_handshake.h"
#include "core/text.h"
#include "net/server.h"
#include "net/tls_state.h"

namespace {

namespace fs = std::filesystem;

std::u16string widen(const std::string& utf8)
{
    std::vector<char16_t> out(utf8.size() + 1);
    uint64_t n = utf8_to_utf16(out.data(), out.size(), utf8.c_str());
    return std::u16string(out.data(), n);
}

std::string narrow(const char16_t* text)
{
    std::u16string s(text);
    std::vector<char> out(s.size() * 4 + 1);
    uint64_t n = utf16_to_utf8(out.data(), out.size(), text);
    return std::string(out.data(), n);
}

enum class encoding { utf8, utf8_bom, utf16_le, utf16_be };

// The bytes of text as a settings file in the given encoding.
std::string encode(const std::u16string& text, encoding form)
{
    std::string bytes;
    switch (form) {
    case encoding::utf8:
    case encoding::utf8_bom: {
        if (form == encoding::utf8_bom) bytes = "\xEF\xBB\xBF";
        std::vector<char> out(text.size() * 4 + 1);
        bytes += std::string(out.data(), utf16_to_utf8(out.data(), out.size(), text.c_str()));
        break;
    }
    case encoding::utf16_le:
        bytes = "\xFF\xFE";
        for (char16_t c : text) bytes += {(char)(c & 0xFF), (char)(c >> 8)};
        break;
    case encoding::utf16_be:
        bytes = "\xFE\xFF";
        for (char16_t c : text) bytes += {(char)(c >> 8), (char)(c & 0xFF)};
        break;
    }
    return bytes;
}

struct mapping_row {
    std::string name;
    std::string target;
    std::string user;
    bool relative;
    bool operator==(const mapping_row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const mapping_row& row)
{
    return out << "{" << row.name << "|" << row.target << "|" << row.user << "|" << row.relative << "}";
}

// Every test starts from an empty set of process-wide settings and a server
// object whose settings file (in a private folder) has been located already.
class settings_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.reset(new G_SOCKET());
        server->cw_connections = slot_count;
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::temp_directory_path() /
                    ("qn_settings_" + std::to_string(std::random_device{}()) + "_" + info->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        file = directory / "quillnest.ini";
        set_settings_path(file.string());
        settings_release();
        cert_valid.store(false);
        g_tls_t.cer[0] = 0;
        g_tls_t.key[0] = 0;
    }

    void TearDown() override
    {
        std::free(server->settings_path);
        settings_release();
        fs::remove_all(directory);
    }

    void set_settings_path(const std::string& path)
    {
        std::free(server->settings_path);
        std::u16string wide = widen(path);
        server->settings_path = static_cast<char16_t*>(std::malloc((wide.size() + 1) * 2));
        std::memcpy(server->settings_path, wide.c_str(), (wide.size() + 1) * 2);
        server->settings_directory_length = wide.rfind(u'/') + 1;
    }

    // One reading of the settings file holding bytes.
    void read_bytes(const std::string& bytes)
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(server->config(u"quillnest"), 0);
    }
    void read(const std::string& utf8) { read_bytes(utf8); }

    // settings_parse_text without a file.
    settings_reading parse(const std::u16string& text)
    {
        settings_reading reading;
        EXPECT_EQ(settings_parse_text(server.get(), text.c_str(), &reading), 0);
        return reading;
    }

    static std::string headers()
    {
        std::vector<char> out(extra_headers_limit);
        int64_t n = extra_headers_copy(out.data(), out.size());
        return n > 0 ? std::string(out.data(), (size_t)n) : std::string();
    }

    static std::vector<std::string> extensions()
    {
        std::vector<std::string> words;
        for (uint64_t i = 0; i < g_ext_filter.count; ++i) words.push_back(g_ext_filter.words[i]);
        return words;
    }

    static std::vector<mapping_row> mappings(const mapping_list& list)
    {
        std::vector<mapping_row> rows;
        for (uint64_t i = 0; i < list.count; ++i) {
            const mapping_entry& e = list.entries[i];
            EXPECT_EQ(e.target_length, std::u16string(e.target).size());
            rows.push_back({narrow(e.name), narrow(e.target), narrow(e.user), e.relative});
        }
        return rows;
    }

    static std::string root() { return narrow(g_root); }

    std::unique_ptr<G_SOCKET> server;
    fs::path directory;
    fs::path file;
};

// Test names from the name field of a case table.
const auto case_name = [](const auto& info) { return std::string(info.param.name); };

// ---------------------------------------------------------------- port

struct port_case {
    const char* text;
    uint16_t service_port;
    uint16_t expected;
};

class settings_port : public settings_test, public ::testing::WithParamInterface<port_case> {};

TEST_P(settings_port, is_taken_only_in_its_exact_form)
{
    server->service_port = GetParam().service_port;
    read(GetParam().text);
    EXPECT_EQ(server->port, GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_port,
    ::testing::Values(
        port_case{"port=8080", 0, 8080},
        port_case{"port=8080\r\n", 0, 8080},
        port_case{"port=1", 0, 1},
        port_case{"port=65535", 0, 65535},
        port_case{"port=0", 0, 80},
        port_case{"port=70000", 0, 80},
        port_case{"port=99999999999999999999999", 0, 80},
        port_case{"port=-80", 0, 80},
        port_case{"port=abc", 0, 80},
        port_case{"port=", 0, 80},
        port_case{"port= \t+8081x", 0, 8081},
        port_case{"Port=8080", 0, 80},
        port_case{"# port=8080", 0, 80},
        port_case{"port =8080", 0, 80},
        port_case{" port=8080", 0, 80},
        // The key runs across the line end up to the first "=".
        port_case{"comment without equals sign\r\nport=8080\r\n", 0, 80},
        port_case{"port=8080\r\nport=8082\r\n", 0, 8082},
        port_case{"port=8080\nroot=/x\n", 0, 8080},
        // Without any LF a CR ends the value; with a later LF the value runs to it.
        port_case{"user=a\rport=8083", 0, 8083},
        port_case{"user=a\rport=8083\n", 0, 80},
        port_case{"port=8080", 9090, 9090},
        port_case{"", 9090, 9090},
        port_case{"", 0, 80}));

// ---------------------------------------------------------------- booleans

struct bool_case {
    const char* value;
    bool expected;
};

class settings_bool : public settings_test, public ::testing::WithParamInterface<bool_case> {};

TEST_P(settings_bool, first_character_decides)
{
    cert_valid.store(true);
    const std::string value = GetParam().value;
    read("list_directories=" + value + "\r\nview_md=" + value + "\r\nmin_gz=" + value +
         "\r\nupgrade_hsts=" + value + "\r\nupgrade_https=" + value + "\r\n");
    const bool expected = GetParam().expected;
    EXPECT_EQ(server->list_directories, expected);
    EXPECT_EQ(server->view_md, expected);
    EXPECT_EQ(server->min_gz, expected);
    EXPECT_EQ(server->upgrade_hsts, expected);
    EXPECT_EQ(server->upgrade_https, expected);
    EXPECT_EQ(g_list_directories.load(), expected);
    EXPECT_EQ(g_view_md.load(), expected);
    EXPECT_EQ(g_min_gz.load(), expected);
    EXPECT_EQ(g_upgrade_https_in_effect.load(), expected);
    EXPECT_EQ(g_upgrade_hsts_in_effect.load(), expected);
}

INSTANTIATE_TEST_SUITE_P(settings, settings_bool,
                         ::testing::Values(bool_case{"1", true}, bool_case{"+", true},
                                           bool_case{"t", true}, bool_case{"y", true},
                                           bool_case{"true", true}, bool_case{"yes", true},
                                           bool_case{"0", false}, bool_case{"", false},
                                           bool_case{"T", false}, bool_case{"Y", false},
                                           bool_case{"-1", false}, bool_case{" 1", false},
                                           bool_case{"false", false}, bool_case{"no", false}));

TEST_F(settings_test, upgrades_take_effect_only_with_a_valid_certificate)
{
    read("upgrade_hsts=1\r\nupgrade_https=1\r\n");
    EXPECT_TRUE(server->upgrade_https);
    EXPECT_FALSE(g_upgrade_https_in_effect.load());
    EXPECT_FALSE(g_upgrade_hsts_in_effect.load());
    cert_valid.store(true);
    read("upgrade_hsts=1\r\nupgrade_https=1\r\n");
    EXPECT_TRUE(g_upgrade_https_in_effect.load());
    EXPECT_TRUE(g_upgrade_hsts_in_effect.load());
}

// ---------------------------------------------------------------- readings

TEST_F(settings_test, every_reading_starts_from_the_defaults_and_keeps_process_wide_settings)
{
    read("view_md=1\r\nport=81\r\nroot=/srv/site\r\nvdir=\r\n{\r\na|/b\r\n}\r\n"
         "ext=block\r\n{\r\nexe\r\n}\r\nheaders=\r\n{\r\nX-A: 1\r\n}\r\n");
    EXPECT_TRUE(server->view_md);
    EXPECT_TRUE(g_view_md.load());
    read("min_gz=1\r\n");
    EXPECT_FALSE(server->view_md);
    EXPECT_FALSE(g_view_md.load());
    EXPECT_TRUE(server->min_gz);
    EXPECT_EQ(server->port, 80);
    EXPECT_EQ(root(), "/srv/site");
    EXPECT_EQ(g_vdir_mappings.count, 1u);
    EXPECT_EQ(extensions(), std::vector<std::string>{"exe"});
    EXPECT_EQ(headers(), "X-A: 1\r\n");

    // A file that is gone (or empty) gives the defaults and nothing else changes.
    fs::remove(file);
    EXPECT_EQ(server->config(u"quillnest"), 0);
    EXPECT_FALSE(server->min_gz);
    EXPECT_EQ(root(), "/srv/site");
    EXPECT_EQ(headers(), "X-A: 1\r\n");
    read("");
    EXPECT_EQ(root(), "/srv/site");
    EXPECT_EQ(g_vdir_mappings.count, 1u);
}

TEST_F(settings_test, every_reading_outdates_results_cached_from_the_settings)
{
    uint64_t before = reload_generation();
    fs::remove(file);
    EXPECT_EQ(server->config(u"quillnest"), 0);
    read("port=81\r\n");
    EXPECT_EQ(reload_generation(), before + 2);
}

TEST_F(settings_test, a_reading_waits_while_a_slot_resolves_a_path)
{
    read("root=/before\r\n");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "root=/after\r\n";
    ASSERT_TRUE(reload_enter_resolving(5));
    std::atomic<bool> done{false};
    std::thread reload([&] {
        server->config(u"quillnest");
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(root(), "/before");
    reload_leave_resolving(5);
    reload.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(root(), "/after");
}

// ---------------------------------------------------------------- root

TEST_F(settings_test, root_defaults_once_and_takes_the_whole_line)
{
    read("");
    EXPECT_EQ(root(), "/var/www/html");
    read("root=/srv/my site \t\r\n");
    EXPECT_EQ(root(), "/srv/my site \t");
    EXPECT_EQ(g_root_length, 14u);
    read("root=\r\n");
    EXPECT_EQ(root(), "/srv/my site \t");
    read("root=/srv/w\xC3\xA9" "b\r\n");
    EXPECT_EQ(root(), "/srv/w\xC3\xA9" "b");
}

TEST_F(settings_test, root_too_long_for_its_buffer_is_ignored)
{
    read("root=/first\r\n");
    std::string longest = "/" + std::string(root_capacity - 2, 'r');
    read("root=" + longest + "\r\n");
    EXPECT_EQ(g_root_length, root_capacity - 1);
    EXPECT_EQ(root(), longest);
    read("root=/" + std::string(root_capacity - 1, 's') + "\r\nport=81\r\n");
    EXPECT_EQ(root(), longest);
    EXPECT_EQ(server->port, 81);
}

// ---------------------------------------------------------------- ext

struct ext_case {
    const char* name;
    const char* text;
    bool ext_mode;
    bool block_no_ext;
    std::vector<std::string> words;
};

class settings_ext : public settings_test, public ::testing::WithParamInterface<ext_case> {};

TEST_P(settings_ext, builds_the_extension_filter)
{
    read(GetParam().text);
    EXPECT_EQ(g_ext_filter.ext_mode, GetParam().ext_mode);
    EXPECT_EQ(g_ext_filter.block_no_ext, GetParam().block_no_ext);
    EXPECT_EQ(extensions(), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_ext,
    ::testing::Values(
        ext_case{"allow_list", "ext=allow\r\n{\r\nHTM html\r\n}\r\n", false, false, {"htm", "html"}},
        ext_case{"empty_block_list", "ext=block\r\n{\r\n}\r\n", true, false, {}},
        ext_case{"comments", "ext=allow\r\n{\r\n\t# php asp\r\n\tcss #js a#b\r\n  #\r\n}\r\n", false,
                 false, {"a#b", "css", "js"}},
        ext_case{"blank_and_line_separators", "ext=1\r\n{\r\n\tc\tb  a\rd\ne\r\n}", false, false,
                 {"a", "b", "c", "d", "e"}},
        ext_case{"sorted_byte_wise_ascii_lowered", "ext=allow\r\n{\r\nzip Z 7z \xC3\x84" "B\r\n}\r\n",
                 false, false, {"7z", "z", "zip", "\xC3\x84" "b"}},
        ext_case{"empty_mode_blocks", "ext=\r\n{\r\nexe\r\n}\r\n", true, false, {"exe"}},
        ext_case{"zero_blocks", "ext=0\r\n{\r\nexe\r\n}\r\n", true, false, {"exe"}},
        ext_case{"n_blocks", "ext=no\r\n{\r\nexe\r\n}\r\n", true, false, {"exe"}},
        ext_case{"block_is_exact", "ext=Block\r\n{\r\nexe\r\n}\r\n", false, false, {"exe"}},
        ext_case{"without_block_ignored", "ext=block\r\nport=81\r\n", false, false, {}},
        ext_case{"later_replaces", "ext=block\r\n{\r\nexe\r\n}\r\next=allow\r\n{\r\nhtm\r\n}\r\n", false,
                 false, {"htm"}},
        ext_case{"no_ext_without_block", "ext=allow\r\n{\r\nhtm\r\n}\r\next_no_ext=block\r\n", false,
                 true, {"htm"}},
        ext_case{"no_ext_with_block", "ext=block\r\n{\r\nexe\r\n}\r\next_no_ext=allow\r\n{\r\nmd\r\n}\r\n",
                 false, false, {"md"}},
        ext_case{"no_ext_empty", "ext_no_ext=\r\n", false, true, {}},
        ext_case{"commented_key_consumes_block",
                 "ext=allow\r\n{\r\nhtm\r\n}\r\n# ext=block\r\n{\r\nkey p7b pem\r\n}\r\n", false, false,
                 {"htm"}}),
    case_name);

TEST_F(settings_test, extension_list_is_searchable_lower_case)
{
    read("ext=allow\r\n{\r\nHTM html\r\n}\r\n");
    ASSERT_EQ(g_ext_filter.count, 2u);
    EXPECT_GE(find_sorted(g_ext_filter.words, g_ext_filter.count, "htm"), 0);
    EXPECT_GE(find_sorted(g_ext_filter.words, g_ext_filter.count, "html"), 0);
    EXPECT_EQ(find_sorted(g_ext_filter.words, g_ext_filter.count, "txt"), -1);
}

// ---------------------------------------------------------------- host and vdir

struct mapping_case {
    const char* name;
    const char* block; // the lines between "{" and "}"
    std::vector<mapping_row> rows;
};

class settings_mapping : public settings_test, public ::testing::WithParamInterface<mapping_case> {};

TEST_P(settings_mapping, builds_sorted_host_and_vdir_lists)
{
    for (const char* key : {"host", "vdir"}) {
        read(std::string(key) + "=\r\n{\r\n" + GetParam().block + "}\r\nport=81\r\n");
        const mapping_list& list = key[0] == 'h' ? g_host_mappings : g_vdir_mappings;
        const mapping_list& other = key[0] == 'h' ? g_vdir_mappings : g_host_mappings;
        EXPECT_EQ(mappings(list), GetParam().rows) << key;
        EXPECT_EQ(other.count, 0u) << key;
        EXPECT_EQ(server->port, 81) << key;
        settings_release();
    }
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_mapping,
    ::testing::Values(
        mapping_case{"drive_target", "docs|D:\\manuals|\r\n", {{"docs", "D:\\manuals", "", false}}},
        mapping_case{"all_fields", "\t\tx|/srv/x|nobody\r\n", {{"x", "/srv/x", "nobody", false}}},
        mapping_case{"relative_and_absolute",
                     "rel|sub/dir\r\nabs|\\srv\r\none|t\r\n",
                     {{"abs", "\\srv", "", false}, {"one", "t", "", true}, {"rel", "sub/dir", "", true}}},
        mapping_case{"invalid_lines_dropped",
                     "a|b|c|d\r\n|x|y\r\nname|\r\nname||u\r\nalone\r\n#c|d\r\n\t# e|f\r\n\r\n\t\r\nok|/o\r\n",
                     {{"ok", "/o", "", false}}},
        mapping_case{"spaces_belong_to_fields", " sp | t |u \r\n", {{" sp ", " t ", "u ", true}}},
        mapping_case{"sorted_by_units",
                     "b|1\r\na|2\r\n\xC3\xA9|3\r\nB|4\r\n",
                     {{"B", "4", "", true}, {"a", "2", "", true}, {"b", "1", "", true},
                      {"\xC3\xA9", "3", "", true}}},
        mapping_case{"line_ends_of_every_kind", "a|/1\rb|/2\nc|/3\r\n",
                     {{"a", "/1", "", false}, {"b", "/2", "", false}, {"c", "/3", "", false}}},
        mapping_case{"pair_counts_two_units", "\xF0\x9F\x98\x80|\xF0\x9F\x98\x80\r\n",
                     {{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "", true}}},
        mapping_case{"comments_only", "\t# host|path|[user]\r\n", {}}),
    case_name);

TEST_F(settings_test, empty_mapping_block_empties_the_list)
{
    read("vdir=\r\n{\r\na|/b\r\n}\r\n");
    EXPECT_EQ(g_vdir_mappings.count, 1u);
    read("vdir=\r\n{\r\n}\r\n");
    EXPECT_EQ(g_vdir_mappings.count, 0u);
    EXPECT_EQ(g_vdir_mappings.entries, nullptr);
}

// ---------------------------------------------------------------- headers

struct header_case {
    const char* name;
    const char* text;
    const char* expected;
};

class settings_headers : public settings_test, public ::testing::WithParamInterface<header_case> {};

TEST_P(settings_headers, collects_the_lines)
{
    read(GetParam().text);
    EXPECT_EQ(headers(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_headers,
    ::testing::Values(
        header_case{"comment_line", "headers=\r\n{\r\nX-A: 1\r\n  # X-B: 2\r\n}\r\n", "X-A: 1\r\n"},
        header_case{"blank_lines_and_indent",
                    "headers=\r\n{\r\n\t X-A: 1  \r\n \t \r\n\r\nX-B: 2\nX-C: 3\rX-D: 4\r\n}\r\n",
                    "X-A: 1  \r\nX-B: 2\r\nX-C: 3\r\nX-D: 4\r\n"},
        header_case{"last_line_without_line_end", "headers=\r\n{\r\nX-A: 1\r\nX-B: 2", "X-A: 1\r\n"},
        header_case{"brace_inside_a_line", "headers=\r\n{\r\nX-A: }\r\n}x\r\n}\r\n",
                    "X-A: }\r\n}x\r\n"},
        header_case{"non_ascii", "headers=\r\n{\r\nX-N: \xC3\xA9\r\n}\r\n", "X-N: \xC3\xA9\r\n"},
        header_case{"without_block", "headers=X-A: 1\r\n", ""},
        header_case{"template_line",
                    "headers=\r\n{\r\n\tPermissions-Policy: camera=()\r\n}\r\n",
                    "Permissions-Policy: camera=()\r\n"}),
    case_name);

TEST_F(settings_test, header_block_replacement_rules)
{
    read("headers=\r\n{\r\nX-A: 1\r\n}\r\n");
    EXPECT_EQ(headers(), "X-A: 1\r\n");
    // An empty block yields no text: the previous lines stay.
    read("headers=\r\n{\r\n}\r\n");
    EXPECT_EQ(headers(), "X-A: 1\r\n");
    // A block of comments yields text but no lines: the previous lines go.
    read("headers=\r\n{\r\n# X-B: 2\r\n}\r\n");
    EXPECT_EQ(headers(), "");
}

TEST_F(settings_test, header_lines_have_fewer_than_32768_bytes)
{
    // One line of n bytes becomes n + 2 bytes with its CR LF.
    std::string largest = "X-L: " + std::string(extra_headers_limit - 1 - 2 - 5, 'v');
    read("headers=\r\n{\r\n" + largest + "\r\n}\r\n");
    EXPECT_EQ(headers(), largest + "\r\n");
    EXPECT_EQ(headers().size(), extra_headers_limit - 1);
    read("headers=\r\n{\r\n" + largest + "v\r\n}\r\n");
    EXPECT_EQ(headers(), "");
}

TEST_F(settings_test, header_copy_needs_room_for_all_lines)
{
    read("headers=\r\n{\r\nX-A: 1\r\n}\r\n");
    char out[8];
    EXPECT_EQ(extra_headers_copy(out, 7), -1);
    EXPECT_EQ(extra_headers_copy(out, 8), 8);
    EXPECT_EQ(std::string(out, 8), "X-A: 1\r\n");
    settings_release();
    EXPECT_EQ(extra_headers_copy(out, 8), 0);
}

// Readers copy the lines in a loop while the settings replace them; every
// copy must be one whole generation, and nothing freed may be read (the
// sanitizer build catches that). Long lines keep each copy busy for a while.
TEST_F(settings_test, header_replacement_under_concurrent_readers)
{
    auto line_count = [](int generation) { return 20 + generation % 7; };
    auto line = [](int generation) { return "X-Version: " + std::to_string(generation) + " " + std::string(1000, 'p') + "\r\n"; };
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> copies{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            std::vector<char> out(extra_headers_limit + 1);
            while (!stop.load()) {
                int64_t n = extra_headers_copy(out.data(), out.size());
                if (n <= 0) continue;
                out[n] = 0;
                int generation = std::atoi(out.data() + 11);
                std::string first = line(generation);
                bool whole = (uint64_t)n == first.size() * line_count(generation);
                for (uint64_t at = 0; whole && at < (uint64_t)n; at += first.size()) {
                    whole = std::memcmp(out.data() + at, first.data(), first.size()) == 0;
                }
                if (!whole) ++torn;
                ++copies;
            }
        });
    }
    for (int generation = 0; generation < 300; ++generation) {
        std::string block;
        for (int i = 0; i < line_count(generation); ++i) block += line(generation);
        parse(widen("headers=\r\n{\r\n" + block + "}\r\n"));
    }
    stop.store(true);
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(copies.load(), 0);
    std::string last;
    for (int i = 0; i < line_count(299); ++i) last += line(299);
    EXPECT_EQ(headers(), last);
}

// ---------------------------------------------------------------- blocks

struct block_case {
    const char* name;
    const char* text;
    uint16_t port;
    std::vector<std::string> vdir_names;
};

class settings_block : public settings_test, public ::testing::WithParamInterface<block_case> {};

TEST_P(settings_block, finds_block_boundaries)
{
    read(GetParam().text);
    EXPECT_EQ(server->port, GetParam().port);
    std::vector<std::string> names;
    for (const mapping_row& row : mappings(g_vdir_mappings)) names.push_back(row.name);
    EXPECT_EQ(names, GetParam().vdir_names);
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_block,
    ::testing::Values(
        block_case{"block_after_plain_key_skipped", "port=81\r\n{\r\nport=82\r\n}\r\n", 81, {}},
        block_case{"brace_not_alone", "vdir=\r\n{x\r\na|/b\r\n}\r\nport=81\r\n", 80, {}},
        block_case{"brace_at_end_of_text", "vdir=\r\n{", 80, {}},
        block_case{"only_line_ends_after_brace", "vdir=\r\n{\r\n\r\n", 80, {}},
        block_case{"blank_lines_before_content", "vdir=\r\n{\r\n\r\n\r\na|/b\r\n}\r\nport=81", 81, {"a"}},
        block_case{"no_closing_brace", "vdir=\r\n{\r\na|/b\r\nport=81\r\nc|/d", 80, {"a", "c"}},
        block_case{"closing_brace_at_end", "vdir=\r\n{\r\na|/b\r\n}", 80, {"a"}},
        block_case{"brace_inside_line_does_not_close", "vdir=\r\n{\r\na|/b}\r\n }\r\n}\r\nport=81", 81,
                   {"a"}},
        block_case{"lf_only", "vdir=\n{\na|/b\n}\nport=81\n", 81, {"a"}},
        block_case{"cr_only", "vdir=\r{\ra|/b\r}\rport=81", 81, {"a"}},
        block_case{"equals_inside_block_ignored", "vdir=\r\n{\r\nport=82|/x\r\n}\r\n", 80, {"port=82"}},
        block_case{"unknown_key_with_block", "# vdir=\r\n{\r\na|/b\r\n}\r\nport=81\r\n", 81, {}}),
    case_name);

// ---------------------------------------------------------------- encodings

class settings_encoding : public settings_test, public ::testing::WithParamInterface<encoding> {};

TEST_P(settings_encoding, every_encoding_reads_alike)
{
    const std::u16string text = u"root=/srv/w\u00E9b/\U0001F600\r\nport=8081\r\nvdir=\r\n{\r\n"
                                u"\u00E9|/\u00E9\r\n}\r\next=allow\r\n{\r\n\u00C4x htm\r\n}\r\n";
    read_bytes(encode(text, GetParam()));
    EXPECT_EQ(server->port, 8081);
    EXPECT_EQ(root(), "/srv/w\xC3\xA9" "b/\xF0\x9F\x98\x80");
    EXPECT_EQ(mappings(g_vdir_mappings), (std::vector<mapping_row>{{"\xC3\xA9", "/\xC3\xA9", "", false}}));
    EXPECT_EQ(extensions(), (std::vector<std::string>{"htm", "\xC3\x84x"}));
}

INSTANTIATE_TEST_SUITE_P(settings, settings_encoding,
                         ::testing::Values(encoding::utf8, encoding::utf8_bom, encoding::utf16_le,
                                           encoding::utf16_be));

TEST(settings_decode, decides_the_encoding_by_the_first_bytes)
{
    struct decode_case {
        std::string bytes;
        const char16_t* text; // null: no text
    } cases[] = {
        {"", nullptr},
        {"\xFF\xFE", nullptr},
        {"\xFE\xFF", nullptr},
        {"\xEF\xBB\xBF", nullptr},
        {std::string("\xFF\xFE\0\0a\0", 6), nullptr},
        {std::string("\xFF\xFE" "a\0b", 5), u"a"},
        {std::string("\xFE\xFF\0a\0b\0", 7), u"ab"},
        {std::string("\xFF\xFE" "a\0\0\xD8", 6), u"a\xD800"},
        {"\xEF\xBB\xBF" "a=1", u"a=1"},
        {"\xEF\xBB" "a", u"\xFEC0" u"a"},
        {"\xFF" "a", u"a"},
        {"port=80", u"port=80"},
        {std::string("a\0b", 3), u"a"},
    };
    for (const decode_case& c : cases) {
        char16_t* text = settings_decode(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        if (!c.text) {
            EXPECT_EQ(text, nullptr) << c.bytes.size();
        } else {
            ASSERT_NE(text, nullptr) << c.bytes.size();
            EXPECT_EQ(std::u16string(text), std::u16string(c.text));
        }
        std::free(text);
    }
}

// ---------------------------------------------------------------- TLS names

struct tls_case {
    const char* text;
    const char* cer;      // "$" stands for the settings directory
    const char* key;
    bool cer_accepted;    // left set after the reading
    bool key_accepted;
};

class settings_tls : public settings_test, public ::testing::WithParamInterface<tls_case> {};

TEST_P(settings_tls, names_are_placed_in_the_settings_directory)
{
    std::memcpy(g_tls_t.cer, u"old.cer", 16);
    std::memcpy(g_tls_t.key, u"old.key", 16);
    settings_reading reading = parse(widen(GetParam().text));
    auto expand = [&](std::string name) {
        if (!name.empty() && name[0] == '$') name = directory.string() + "/" + name.substr(1);
        return name;
    };
    EXPECT_EQ(narrow(g_tls_t.cer), expand(GetParam().cer));
    EXPECT_EQ(narrow(g_tls_t.key), expand(GetParam().key));
    EXPECT_EQ(reading.cer_accepted, GetParam().cer_accepted);
    EXPECT_EQ(reading.key_accepted, GetParam().key_accepted);
}

INSTANTIATE_TEST_SUITE_P(
    settings, settings_tls,
    ::testing::Values(
        // Only a certificate: nothing is loaded, the flag stays set for this reading.
        tls_case{"tls_cer=web.pem\r\n", "$web.pem", "old.key", true, false},
        tls_case{"tls_key=k.pem\r\n", "old.cer", "$k.pem", false, true},
        // Both, in either order: the pair is loaded and both flags clear.
        tls_case{"tls_cer=c.pem\r\ntls_key=k.pem\r\n", "$c.pem", "$k.pem", false, false},
        tls_case{"tls_key=k.pem\r\ntls_cer=c.pem\r\n", "$c.pem", "$k.pem", false, false},
        tls_case{"tls_cer=/etc/c.pem\r\n", "/etc/c.pem", "old.key", true, false},
        tls_case{"tls_cer=\\c.pem\r\n", "\\c.pem", "old.key", true, false},
        tls_case{"tls_cer=C:c.pem\r\n", "C:c.pem", "old.key", true, false},
        tls_case{"tls_cer=sub/c.pem \r\n", "$sub/c.pem ", "old.key", true, false},
        tls_case{"# tls_cer=c.pem\r\n", "old.cer", "old.key", false, false}));

TEST_F(settings_test, tls_names_that_do_not_fit_are_refused)
{
    std::memcpy(g_tls_t.cer, u"old.cer", 16);
    // Fits alone but not behind the directory: taken unchanged.
    std::string fits = std::string(tls_name_capacity - 1, 'c');
    settings_reading reading = parse(widen("tls_cer=" + fits + "\r\n"));
    EXPECT_EQ(narrow(g_tls_t.cer), fits);
    EXPECT_TRUE(reading.cer_accepted);
    // Does not fit at all: the old name stays and nothing is accepted.
    std::memcpy(g_tls_t.cer, u"old.cer", 16);
    reading = parse(widen("tls_cer=" + fits + "c\r\ntls_key=k\r\n"));
    EXPECT_EQ(narrow(g_tls_t.cer), "old.cer");
    EXPECT_FALSE(reading.cer_accepted);
    EXPECT_TRUE(reading.key_accepted);
}

TEST_F(settings_test, tls_names_without_a_settings_directory_stay_relative)
{
    set_settings_path("quillnest.ini");
    EXPECT_EQ(server->settings_directory_length, 0u);
    parse(u"tls_cer=c.pem\r\n");
    EXPECT_EQ(narrow(g_tls_t.cer), "c.pem");
}

TEST_F(settings_test, reading_remembers_the_weak_cipher_choice)
{
    EXPECT_TRUE(parse(u"tls_no_weak_ciphers=1\r\n").no_weak_ciphers);
    EXPECT_FALSE(parse(u"tls_no_weak_ciphers=1\r\ntls_no_weak_ciphers=0\r\n").no_weak_ciphers);
    EXPECT_FALSE(parse(u"port=1\r\n").no_weak_ciphers);
    // Unknown group sizes and "user" are accepted without effect.
    parse(u"tls_min_bits_ec=123456789\r\ntls_min_bits_ec=\r\nuser=nobody\r\n");
}

// ---------------------------------------------------------------- bad input

TEST_F(settings_test, shapes_of_broken_files_are_survived)
{
    const char* shapes[] = {
        "{", "}", "=", "==", "{\r\n", "\r\n}", "}\r\n{", "\r\n\r\n", "=\r\n{", "=\r\n{\r\n",
        "=\r\n{\r\n}", "vdir=\r\n{", "vdir=\r\n{\r\n", "headers=\r\n{\r\n}", "headers=\r\n{\r\n",
        "headers=\r\n{\r\n\r\n", "ext=\r\n{\r\n#", "ext=\r\n{\r\n#\r\n}", "host=\r\n{\r\n|\r\n||\r\n|||\r\n}",
        "\n{\n}\n{\n}", "a=\r\n}\r\n{\r\n}", "=\n{\n=\n{\n}\n}\n", "port", "port=\r", "\r", "\n",
        "=\r\n{\r\n\t}\r\n", "root=\r\n{\r\n}\r\n",
    };
    for (const char* shape : shapes) {
        read(shape);
        EXPECT_EQ(server->port, 80) << shape;
    }
}

TEST_F(settings_test, random_bytes_are_survived)
{
    std::mt19937 random(1234);
    const char alphabet[] = "=\r\n{}|#\t ab";
    for (int round = 0; round < 400; ++round) {
        std::string bytes(random() % 600, '\0');
        for (char& c : bytes) {
            c = random() % 3 == 0 ? (char)random() : alphabet[random() % (sizeof(alphabet) - 1)];
        }
        if (round % 4 == 1) bytes = "\xFF\xFE" + bytes;
        if (round % 4 == 2) bytes = "\xFE\xFF" + bytes;
        if (round % 20 == 0) {
            read_bytes(bytes);
            continue;
        }
        char16_t* text = settings_decode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        if (text) parse(text);
        std::free(text);
    }
}

TEST_F(settings_test, every_prefix_of_a_full_file_is_survived)
{
    const std::u16string full =
        u"root=/srv\r\nport=8080\r\nvdir=\r\n{\r\n\ta|/b|u\r\n}\r\nhost=\r\n{\r\nh|/h\r\n}\r\n"
        u"ext=allow\r\n{\r\n\tcss htm # x\r\n}\r\next_no_ext=block\r\nheaders=\r\n{\r\n\tX-A: 1\r\n}\r\n"
        u"tls_cer=c\r\ntls_key=k\r\nview_md=1\r\n";
    const std::string bytes = encode(full, encoding::utf16_le);
    for (size_t length = 0; length <= bytes.size(); ++length) {
        char16_t* text = settings_decode(reinterpret_cast<const unsigned char*>(bytes.data()), length);
        if (text) parse(text);
        std::free(text);
    }
    EXPECT_EQ(server->port, 8080);
    EXPECT_EQ(headers(), "X-A: 1\r\n");
    EXPECT_EQ(g_host_mappings.count, 1u);
}

TEST_F(settings_test, long_lines_and_many_lines)
{
    std::string key(1 << 20, 'k');
    read(key + "=1\r\nport=81\r\n" + "user=" + std::string(1 << 20, 'u') + "\r\nview_md=1");
    EXPECT_EQ(server->port, 81);
    EXPECT_TRUE(server->view_md);

    std::string block = "vdir=\r\n{\r\n";
    for (int i = 0; i < 50000; ++i) block += "n" + std::to_string(49999 - i) + "|/t\r\n";
    read(block + "}\r\n");
    ASSERT_EQ(g_vdir_mappings.count, 50000u);
    for (uint64_t i = 1; i < g_vdir_mappings.count; ++i) {
        ASSERT_LT(std::u16string(g_vdir_mappings.entries[i - 1].name), std::u16string(g_vdir_mappings.entries[i].name));
    }

    // Without any LF every value ends at a CR.
    std::string lines;
    for (int i = 0; i < 100000; ++i) lines += "user=x\r";
    read(lines + "port=82");
    EXPECT_EQ(server->port, 82);
}

TEST_F(settings_test, a_file_beyond_the_read_limit_is_read_up_to_it)
{
    std::string bytes = "port=81\r\nuser=";
    bytes += std::string(settings_read_limit - bytes.size() - 4, 'u');
    bytes += "\r\nport=82\r\n";
    read(bytes);
    EXPECT_EQ(server->port, 81);
}

} // namespace
