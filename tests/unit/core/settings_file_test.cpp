#include "core/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "assets/embedded.h"
#include "assets/embedded_data.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/server.h"

namespace {

namespace fs = std::filesystem;

std::u16string widen(const std::string& utf8)
{
    std::vector<char16_t> out(utf8.size() + 1);
    return std::u16string(out.data(), utf8_to_utf16(out.data(), out.size(), utf8.c_str()));
}

std::string narrow(const char16_t* text)
{
    std::vector<char> out(std::u16string(text).size() * 4 + 1);
    return std::string(out.data(), utf16_to_utf8(out.data(), out.size(), text));
}

std::string file_bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string template_bytes()
{
    return std::string(reinterpret_cast<const char*>(qn_file_settings_template), qn_file_settings_template_size);
}

// The template as UTF-8 text, without its byte-order mark.
std::string template_text(const std::string& bytes)
{
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        units += (char16_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8));
    }
    return narrow(units.c_str());
}

// ---------------------------------------------------------------- names

struct name_case {
    const char* name;
    const char* base;
    const char* service; // null: not a named service
    const char* path;
    uint16_t port;
    bool may_create;
};

class settings_file_name_cases : public ::testing::TestWithParam<name_case> {};

TEST_P(settings_file_name_cases, derives_path_and_port)
{
    const name_case& c = GetParam();
    std::vector<char16_t> path(settings_path_capacity, 0xBEEF);
    std::u16string base = widen(c.base);
    std::u16string service = widen(c.service ? c.service : "mervand.quillnest");
    uint16_t port = 0xFFFF;
    bool may_create = false;
    uint64_t length = settings_file_name(path.data(), path.size(), base.c_str(), service.c_str(),
                                         c.service != nullptr, &port, &may_create);
    EXPECT_EQ(narrow(path.data()), c.path);
    EXPECT_EQ(length, widen(c.path).size());
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(may_create, c.may_create);
}

INSTANTIATE_TEST_SUITE_P(
    settings_file, settings_file_name_cases,
    ::testing::Values(
        name_case{"executable_with_extension", "/srv/quillnest.exe", nullptr, "/srv/quillnest.ini", 0, true},
        name_case{"executable_without_extension", "/srv/quillnest", nullptr, "/srv/quillnest.ini", 0, true},
        name_case{"dot_in_directory", "/srv/x.y/server", nullptr, "/srv/x.y/server.ini", 0, true},
        name_case{"backslash_directories", "C:\\srv\\x.y\\server", nullptr, "C:\\srv\\x.y\\server.ini", 0,
                  true},
        name_case{"last_dot_only", "/srv/a.b.c", nullptr, "/srv/a.b.ini", 0, true},
        name_case{"no_directory", "quillnest", nullptr, "quillnest.ini", 0, true},
        name_case{"service_port_suffix", "/srv/quillnest.exe", "web__8081", "/srv/web.ini", 8081, true},
        name_case{"default_style_name", "/srv/quillnest", "mervand.quillnest__8080",
                  "/srv/mervand.quillnest.ini", 8080, true},
        name_case{"digits_without_underscores", "/srv/quillnest", "web1", "/srv/web1.ini", 0, true},
        name_case{"single_underscore", "/srv/quillnest", "web_8081", "/srv/web_8081.ini", 0, true},
        name_case{"port_too_large", "/srv/quillnest", "web__99999", "/srv/web__99999.ini", 0, true},
        name_case{"largest_port", "/srv/quillnest", "web__65535", "/srv/web.ini", 65535, true},
        name_case{"just_above_largest_port", "/srv/quillnest", "web__65536", "/srv/web__65536.ini", 0, true},
        name_case{"leading_zeros", "/srv/quillnest", "web__0000080", "/srv/web.ini", 80, true},
        name_case{"port_zero", "/srv/quillnest", "web__0", "/srv/web.ini", 0, true},
        name_case{"underscores_without_digits", "/srv/quillnest", "web__", "/srv/web.ini", 0, true},
        name_case{"only_underscores", "/srv/quillnest", "__", "/srv/.ini", 0, true},
        name_case{"three_underscores", "/srv/quillnest", "web___81", "/srv/web_.ini", 81, true},
        name_case{"service_in_dotted_directory", "/srv/x.y/quillnest.exe", "web", "/srv/x.y/web.ini", 0, true},
        name_case{"service_without_directory", "quillnest", "web__81", "web.ini", 81, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(settings_file_name, falls_back_when_the_path_does_not_fit)
{
    // "/a/b/c/quillnest-server.ini" and its NUL fill 28 units exactly.
    char16_t path[28];
    uint16_t port;
    bool may_create = false;
    uint64_t length = settings_file_name(path, 28, u"/a/b/c/quillnest-server", u"", false, &port, &may_create);
    EXPECT_EQ(narrow(path), "/a/b/c/quillnest-server.ini");
    EXPECT_TRUE(may_create);
    EXPECT_EQ(length, 27u);
    length = settings_file_name(path, 28, u"/a/b/c/quillnest-servers", u"", false, &port, &may_create);
    EXPECT_EQ(narrow(path), "quillnest.ini");
    EXPECT_EQ(length, 13u);
    EXPECT_FALSE(may_create);
}

// ---------------------------------------------------------------- files

class settings_file_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.reset(new G_SOCKET());
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::temp_directory_path() /
                    ("qn_settings_file_" + std::to_string(std::random_device{}()) + "_" + info->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        previous_directory = fs::current_path();
        settings_release();
    }

    void TearDown() override
    {
        fs::current_path(previous_directory);
        std::free(server->settings_path);
        settings_release();
        fs::remove_all(directory);
    }

    // One reading's location step; the file is closed again at once.
    int locate(const char16_t* executable, const char* service, bool named,
               const char16_t* program = u"quillnest")
    {
        std::u16string name = widen(service);
        settings_origin origin = {executable, name.c_str(), named};
        file_t file = invalid_file;
        int rc = locate_settings_file_from(server.get(), program, &origin, &file);
        EXPECT_EQ(rc == 0, file != invalid_file);
        opened = file != invalid_file;
        file_close(file);
        return rc;
    }

    std::u16string in_directory(const std::string& name) { return widen((directory / name).string()); }

    std::string settings_path() { return narrow(server->settings_path); }

    std::unique_ptr<G_SOCKET> server;
    fs::path directory;
    fs::path previous_directory;
    bool opened = false;
};

TEST_F(settings_file_test, first_start_creates_the_file_from_the_template)
{
    std::u16string executable = in_directory("quillnest");
    EXPECT_EQ(locate(executable.c_str(), "mervand.quillnest", false), 0);
    EXPECT_TRUE(opened);
    EXPECT_EQ(settings_path(), (directory / "quillnest.ini").string());
    EXPECT_EQ(server->settings_directory_length, directory.string().size() + 1);
    EXPECT_EQ(server->service_port, 0);
    EXPECT_EQ(file_bytes(directory / "quillnest.ini"), template_bytes());
}

TEST_F(settings_file_test, named_service_file_carries_the_service_port)
{
    std::u16string executable = in_directory("quillnest.exe");
    EXPECT_EQ(locate(executable.c_str(), "web__8081", true), 0);
    EXPECT_EQ(settings_path(), (directory / "web.ini").string());
    EXPECT_EQ(server->service_port, 8081);
    std::string text = template_text(file_bytes(directory / "web.ini"));
    EXPECT_EQ(text.find("\r\nport=8081\r\n"), text.find("\r\n"));

    // Later readings open the same file and keep the port the server listens on.
    EXPECT_EQ(locate(nullptr, "other", true, u"again"), 0);
    EXPECT_EQ(settings_path(), (directory / "web.ini").string());
    EXPECT_EQ(server->service_port, 8081);
    EXPECT_EQ(narrow(server->program_path), "again");
}

TEST_F(settings_file_test, an_existing_file_is_never_overwritten)
{
    std::ofstream(directory / "quillnest.ini", std::ios::binary) << "port=1234\r\n";
    std::u16string executable = in_directory("quillnest");
    EXPECT_EQ(locate(executable.c_str(), "", false), 0);
    EXPECT_EQ(file_bytes(directory / "quillnest.ini"), "port=1234\r\n");
}

TEST_F(settings_file_test, program_path_stands_in_for_the_executable)
{
    std::u16string program = in_directory("prog.bin");
    EXPECT_EQ(locate(nullptr, "", false, program.c_str()), 0);
    EXPECT_EQ(settings_path(), (directory / "prog.ini").string());
    EXPECT_TRUE(fs::exists(directory / "prog.ini"));
}

TEST_F(settings_file_test, without_any_path_nothing_is_created)
{
    fs::current_path(directory);
    EXPECT_NE(locate(nullptr, "", false, nullptr), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(settings_path(), "");
    EXPECT_FALSE(fs::exists(directory / "quillnest.ini"));
    EXPECT_EQ(locate(nullptr, "", false, nullptr), -1);
}

TEST_F(settings_file_test, relative_name_is_used_when_it_exists)
{
    fs::current_path(directory);
    std::ofstream(directory / "quillnest.ini", std::ios::binary) << "port=1\r\n";
    EXPECT_EQ(locate(nullptr, "", false, nullptr), 0);
    EXPECT_EQ(settings_path(), "quillnest.ini");
    EXPECT_EQ(server->settings_directory_length, 0u);
}

TEST_F(settings_file_test, named_service_without_directory_creates_nothing)
{
    fs::current_path(directory);
    EXPECT_NE(locate(u"quillnest", "web", true), 0);
    EXPECT_FALSE(fs::exists(directory / "web.ini"));
    EXPECT_EQ(settings_path(), "");
}

TEST_F(settings_file_test, uncreatable_file_leaves_no_settings_file)
{
    std::u16string executable = in_directory("missing/quillnest");
    EXPECT_NE(locate(executable.c_str(), "", false), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(settings_path(), "");
    EXPECT_EQ(server->settings_directory_length, 0u);
    EXPECT_EQ(locate(executable.c_str(), "", false), -1);
}

TEST_F(settings_file_test, a_deleted_file_is_not_created_again_by_a_later_reading)
{
    std::u16string executable = in_directory("quillnest");
    EXPECT_EQ(locate(executable.c_str(), "", false), 0);
    fs::remove(directory / "quillnest.ini");
    EXPECT_EQ(locate(executable.c_str(), "", false), file_error_not_found);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(fs::exists(directory / "quillnest.ini"));
    EXPECT_EQ(settings_path(), (directory / "quillnest.ini").string());
}

// ---------------------------------------------------------------- template

struct template_case {
    const char* service;
    const char* port_line; // null: the template unchanged
};

class settings_template_cases : public settings_file_test,
                                public ::testing::WithParamInterface<template_case> {};

TEST_P(settings_template_cases, port_line_takes_the_digits_of_the_service_name)
{
    fs::path path = directory / "out.ini";
    file_t file = file_create(path.c_str());
    ASSERT_NE(file, invalid_file);
    std::u16string service = widen(GetParam().service);
    int64_t written = write_settings_template(file, service.c_str());
    file_close(file);
    std::string bytes = file_bytes(path);
    EXPECT_EQ(written, (int64_t)bytes.size());
    if (!GetParam().port_line) {
        EXPECT_EQ(bytes, template_bytes());
        return;
    }
    ASSERT_EQ(bytes.compare(0, 2, "\xFF\xFE"), 0);
    std::string expected = template_text(template_bytes());
    size_t at = expected.find("\r\nport=80\r\n");
    ASSERT_NE(at, std::string::npos);
    expected.replace(at + 2, 7, GetParam().port_line);
    EXPECT_EQ(template_text(bytes), expected);
}

INSTANTIATE_TEST_SUITE_P(settings_file, settings_template_cases,
                         ::testing::Values(template_case{"mervand.quillnest", nullptr},
                                           template_case{"web__8081", "port=8081"},
                                           template_case{"web1", "port=1"},
                                           template_case{"web65535", "port=65535"},
                                           template_case{"web000080", "port=80"},
                                           template_case{"web0", nullptr},
                                           template_case{"web65536", nullptr},
                                           template_case{"web__99999", nullptr},
                                           template_case{"9", "port=9"},
                                           template_case{"", nullptr}));

TEST_F(settings_file_test, failed_template_write_is_reported)
{
    std::ofstream(directory / "ro.ini") << "x";
    file_t file = file_open_read((directory / "ro.ini").c_str(), file_hint_none);
    ASSERT_NE(file, invalid_file);
    EXPECT_EQ(write_settings_template(file, u"web"), -1);
    EXPECT_EQ(write_settings_template(file, u"web__81"), -1);
    file_close(file);
}

TEST(settings_template, record_describes_the_stored_file)
{
    const embedded_file& t = g_settings_template;
    EXPECT_EQ(std::u16string(t.wide_name), u"quillnest.ini");
    EXPECT_STREQ(t.url, "/Program Files/quillnest/quillnest.ini");
    EXPECT_STREQ(t.sort_key, t.url + 1);
    EXPECT_EQ(t.charset_index, 2);
    EXPECT_EQ(t.mime_index, 96); // "text/plain"
    EXPECT_EQ(t.data, qn_file_settings_template);
    EXPECT_EQ(t.length, qn_file_settings_template_size);
    EXPECT_EQ(t.text, t.data + 2);
    EXPECT_EQ(t.text_length, t.length - 2);
    EXPECT_EQ(t.unit_count, (uint64_t)t.text_length / 2);

    std::string text = template_text(template_bytes());
    EXPECT_EQ(template_bytes().compare(0, 2, "\xFF\xFE"), 0);
    EXPECT_EQ(text.compare(0, 20, "root=/var/www/html\r\n"), 0);
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 53u);
    EXPECT_EQ(text.substr(text.size() - 3), "}\r\n");
}

TEST(settings_template, is_dated_with_the_build_time)
{
    embedded_files_init();
    std::time_t when = (std::time_t)qn_build_time;
    const std::tm* broken_down = std::gmtime(&when);
    ASSERT_NE(broken_down, nullptr);
    const std::tm utc = *broken_down;
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%s, %d %s %d %d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
                  months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    EXPECT_STREQ(g_settings_template.modified, expected);
    std::string lower = expected;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    EXPECT_STREQ(g_settings_template.modified_lower, lower.c_str());
}

// ---------------------------------------------------------------- first start

TEST_F(settings_file_test, first_start_reads_the_template_it_wrote)
{
    server->cw_connections = slot_count;
    std::u16string executable = in_directory("quillnest");
    locate(executable.c_str(), "web__8081", true);
    EXPECT_EQ(server->config(u"quillnest"), 0);
    EXPECT_EQ(server->port, 8081);
    EXPECT_EQ(narrow(g_root), "/var/www/html");
    EXPECT_TRUE(server->upgrade_https);
    EXPECT_FALSE(server->upgrade_hsts);
    EXPECT_FALSE(server->view_md);
    EXPECT_FALSE(server->list_directories);
    EXPECT_FALSE(server->min_gz);
    EXPECT_EQ(g_host_mappings.count, 0u);
    EXPECT_EQ(g_vdir_mappings.count, 0u);
    EXPECT_FALSE(g_ext_filter.ext_mode);
    EXPECT_FALSE(g_ext_filter.block_no_ext);
    EXPECT_EQ(g_ext_filter.count, 173u);
    EXPECT_GE(find_sorted(g_ext_filter.words, g_ext_filter.count, "css"), 0);
    EXPECT_GE(find_sorted(g_ext_filter.words, g_ext_filter.count, "patch"), 0);
    EXPECT_EQ(find_sorted(g_ext_filter.words, g_ext_filter.count, "pem"), -1);
    char headers[512];
    int64_t n = extra_headers_copy(headers, sizeof(headers));
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(headers, (size_t)n),
              "Permissions-Policy: camera=(), captured-surface-control=(), display-capture=(), "
              "microphone=(), payment=(), storage-access=()\r\n");
}

} // namespace
