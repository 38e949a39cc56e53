#include "assets/builtin_assets.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "assets/embedded_data.h"
#include "content/mime_types.h"
#include "http/response.h"
#include "os/clock.h"

namespace {

class BuiltinAssets : public ::testing::Test {
protected:
    static void SetUpTestSuite() { builtin_assets_init(); }
};

struct expected_asset {
    const char* url;
    const char* mime;
    int32_t charset;
    uint32_t icon_size; // pixels of a PNG icon, 0 for other files
};

const expected_asset expected_group[] = {
    {"/quillnest/theme.css", "text/css", 0, 0},
    {"/quillnest/media.js", "application/javascript", 0, 0},
    {"/quillnest/lib-debug.js", "application/javascript", 1, 0},
    {"/quillnest/visual-test.htm", "text/html", 1, 0},
    {"/quillnest/icon.16/0-default.png", "image/png", 0, 16},
    {"/quillnest/icon.16/audio.png", "image/png", 0, 16},
    {"/quillnest/icon.16/g-folder-h.png", "image/png", 0, 16},
    {"/quillnest/icon.16/g-folder-v.png", "image/png", 0, 16},
    {"/quillnest/icon.16/img.png", "image/png", 0, 16},
    {"/quillnest/icon.16/text.png", "image/png", 0, 16},
    {"/quillnest/icon.16/video.png", "image/png", 0, 16},
    {"/quillnest/icon.32/0-default.png", "image/png", 0, 32},
    {"/quillnest/icon.32/audio.png", "image/png", 0, 32},
    {"/quillnest/icon.32/g-folder-h.png", "image/png", 0, 32},
    // the one upright folder image serves both sizes
    {"/quillnest/icon.32/g-folder-v.png", "image/png", 0, 16},
    {"/quillnest/icon.32/img.png", "image/png", 0, 32},
    {"/quillnest/icon.32/text.png", "image/png", 0, 32},
    {"/quillnest/icon.32/video.png", "image/png", 0, 32},
};
static_assert(sizeof(expected_group) / sizeof(expected_group[0]) == builtin_asset_count);

std::string narrow(const char16_t* wide)
{
    std::string out;
    for (; *wide; ++wide) out.push_back(*wide < 0x80 ? (char)*wide : '?');
    return out;
}

uint32_t big_endian(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint32_t little_endian32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint16_t little_endian16(const unsigned char* p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t crc32(const unsigned char* p, uint32_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

const embedded_file* group_record(const char* url)
{
    for (const embedded_file* record : g_builtin_assets) {
        if (std::strcmp(record->url, url) == 0) return record;
    }
    return nullptr;
}

std::vector<const embedded_file*> every_record()
{
    std::vector<const embedded_file*> all(g_builtin_assets, g_builtin_assets + builtin_asset_count);
    all.push_back(favicon_asset());
    return all;
}

std::string text_of(const embedded_file* record)
{
    return std::string((const char*)record->text, record->text_length);
}

TEST_F(BuiltinAssets, GroupHoldsEveryAssetSortedBySortKey)
{
    for (const expected_asset& e : expected_group) {
        EXPECT_NE(group_record(e.url), nullptr) << e.url;
    }
    for (uint32_t i = 1; i < builtin_asset_count; ++i) {
        const unsigned char* a = (const unsigned char*)g_builtin_assets[i - 1]->sort_key;
        const unsigned char* b = (const unsigned char*)g_builtin_assets[i]->sort_key;
        EXPECT_LT(std::strcmp((const char*)a, (const char*)b), 0) << a << " before " << b;
    }
}

TEST_F(BuiltinAssets, NamesAreDerivedFromTheUrl)
{
    for (const embedded_file* record : every_record()) {
        std::string url = record->url;
        SCOPED_TRACE(url);
        ASSERT_EQ(url[0], '/');
        EXPECT_STREQ(record->sort_key, url.c_str() + 1);
        std::string file_name = url.substr(url.rfind('/') + 1);
        EXPECT_EQ(record->file_name, file_name);
        EXPECT_EQ(narrow(record->wide_name), file_name);
    }
    for (const embedded_file* record : g_builtin_assets) {
        EXPECT_EQ(std::string("/quillnest/") + record->relative_path, record->url);
    }
    EXPECT_STREQ(favicon_asset()->url, "/quillnest.ico");
    EXPECT_STREQ(favicon_asset()->relative_path, "quillnest.ico");
}

TEST_F(BuiltinAssets, TypeAndCharsetPerAsset)
{
    for (const expected_asset& e : expected_group) {
        const embedded_file* record = group_record(e.url);
        ASSERT_NE(record, nullptr) << e.url;
        EXPECT_STREQ(mime_type_text(record->mime_index), e.mime) << e.url;
        EXPECT_EQ(record->charset_index, e.charset) << e.url;
    }
    EXPECT_STREQ(mime_type_text(favicon_asset()->mime_index), "image/x-icon");
    EXPECT_EQ(favicon_asset()->charset_index, 0);
}

TEST_F(BuiltinAssets, LengthsFollowTheBytesAndTheirByteOrderMark)
{
    for (const embedded_file* record : every_record()) {
        SCOPED_TRACE(record->url);
        ASSERT_NE(record->data, nullptr);
        ASSERT_GT(record->length, 4u);
        const unsigned char* d = record->data;
        uint32_t mark = 0;
        int32_t charset = 0;
        if (d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
            mark = 3;
            charset = 1;
        } else if (d[0] == 0xFF && d[1] == 0xFE) {
            mark = 2;
            charset = 2;
        } else if (d[0] == 0xFE && d[1] == 0xFF) {
            mark = 2;
            charset = 3;
        }
        EXPECT_EQ(record->charset_index, charset);
        EXPECT_EQ(record->text, d + mark);
        EXPECT_EQ(record->text_length, record->length - mark);
        EXPECT_EQ(record->unit_count, (uint64_t)record->text_length / 2);
    }
    EXPECT_EQ(group_record("/quillnest/theme.css")->length, qn_file_theme_css_size);
    EXPECT_EQ(group_record("/quillnest/lib-debug.js")->length, qn_file_lib_debug_js_size);
    EXPECT_EQ(favicon_asset()->length, qn_file_favicon_ico_size);
}

TEST_F(BuiltinAssets, UprightFolderIsOneImageUnderBothSizes)
{
    const embedded_file* small = group_record("/quillnest/icon.16/g-folder-v.png");
    const embedded_file* large = group_record("/quillnest/icon.32/g-folder-v.png");
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    ASSERT_EQ(small->length, large->length);
    EXPECT_EQ(std::memcmp(small->data, large->data, small->length), 0);
}

TEST_F(BuiltinAssets, LookupMatchesWholeRelativePathsExactly)
{
    for (const expected_asset& e : expected_group) {
        // a copy, so that the search compares bytes rather than pointers
        std::string path = e.url + std::strlen("/quillnest/");
        const embedded_file* found = find_builtin_asset(path.c_str());
        ASSERT_NE(found, nullptr) << path;
        EXPECT_STREQ(found->url, e.url);
    }
    const char* misses[] = {
        "",
        "Theme.css",
        "THEME.CSS",
        "theme.css/",
        "theme.cs",
        "theme.cssx",
        "/theme.css",
        "quillnest/theme.css",
        "icon.16",
        "icon.16/",
        "icon.16/Audio.png",
        "icon.16/audio.png/",
        "icon.48/audio.png",
        "icon.16\\audio.png",
        "quillnest.ico",
        "favicon.ico",
        "0-default.png",
        "zzz",
        "\x7f",
        "\xff",
    };
    for (const char* miss : misses) {
        EXPECT_EQ(find_builtin_asset(miss), nullptr) << '"' << miss << '"';
    }
    EXPECT_EQ(find_builtin_asset(nullptr), nullptr);
}

TEST_F(BuiltinAssets, PngIconsAreWellFormedAtTheirSize)
{
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const expected_asset& e : expected_group) {
        if (!e.icon_size) continue;
        const embedded_file* record = group_record(e.url);
        ASSERT_NE(record, nullptr);
        SCOPED_TRACE(e.url);
        const unsigned char* d = record->data;
        uint32_t n = record->length;
        ASSERT_GE(n, 8u + 25u + 12u);
        ASSERT_EQ(std::memcmp(d, signature, 8), 0);
        EXPECT_EQ(big_endian(d + 8), 13u);
        EXPECT_EQ(std::memcmp(d + 12, "IHDR", 4), 0);
        EXPECT_EQ(big_endian(d + 16), e.icon_size);
        EXPECT_EQ(big_endian(d + 20), e.icon_size);
        // every chunk fits, carries a valid CRC, and IEND ends the file
        uint32_t pos = 8;
        std::string last;
        while (pos + 12 <= n) {
            uint32_t length = big_endian(d + pos);
            ASSERT_LE(length, n - pos - 12);
            EXPECT_EQ(crc32(d + pos + 4, length + 4), big_endian(d + pos + 8 + length));
            last.assign((const char*)d + pos + 4, 4);
            pos += 12 + length;
        }
        EXPECT_EQ(pos, n);
        EXPECT_EQ(last, "IEND");
    }
}

TEST_F(BuiltinAssets, IconFileListsTenBitmapImages)
{
    struct image {
        uint32_t size;
        uint32_t bits;
    };
    const image expected[] = {{16, 1}, {32, 1}, {16, 4}, {32, 4}, {16, 8},
                              {32, 8}, {16, 32}, {24, 32}, {32, 32}, {48, 32}};
    const embedded_file* ico = favicon_asset();
    const unsigned char* d = ico->data;
    uint32_t n = ico->length;
    ASSERT_GE(n, 6u + 10u * 16u);
    EXPECT_EQ(little_endian16(d), 0);
    EXPECT_EQ(little_endian16(d + 2), 1);
    ASSERT_EQ(little_endian16(d + 4), 10);
    uint32_t end_of_previous = 6 + 10 * 16;
    for (uint32_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        const unsigned char* entry = d + 6 + 16 * i;
        uint32_t size = expected[i].size;
        uint32_t bits = expected[i].bits;
        EXPECT_EQ(entry[0], size);
        EXPECT_EQ(entry[1], size);
        EXPECT_EQ(entry[2], bits < 8 ? 1u << bits : 0u);
        EXPECT_EQ(little_endian16(entry + 4), 1);
        EXPECT_EQ(little_endian16(entry + 6), bits);
        uint32_t bytes = little_endian32(entry + 8);
        uint32_t offset = little_endian32(entry + 12);
        // images follow each other without gaps up to the end of the file
        EXPECT_EQ(offset, end_of_previous);
        ASSERT_LE(bytes, n - offset);
        end_of_previous = offset + bytes;

        const unsigned char* dib = d + offset;
        EXPECT_EQ(little_endian32(dib), 40u);
        EXPECT_EQ(little_endian32(dib + 4), size);
        EXPECT_EQ(little_endian32(dib + 8), 2 * size); // colour rows, then the mask
        EXPECT_EQ(little_endian16(dib + 12), 1);
        EXPECT_EQ(little_endian16(dib + 14), bits);
        uint32_t palette = bits < 32 ? 4u << bits : 0;
        uint32_t colour_row = (size * bits + 31) / 32 * 4;
        uint32_t mask_row = (size + 31) / 32 * 4;
        EXPECT_EQ(bytes, 40 + palette + size * (colour_row + mask_row));
    }
    EXPECT_EQ(end_of_previous, n);
}

TEST_F(BuiltinAssets, EveryRecordCarriesTheBuildDate)
{
    uint64_t filetime = ((uint64_t)qn_build_time + filetime_unix_offset_s) * 10000000ULL;
    civil_time utc;
    ASSERT_EQ(filetime_to_utc(filetime, &utc), 0);
    char date[http_date_capacity] = {};
    ASSERT_GT(format_http_date(&utc, date, sizeof(date)), 0u);
    std::string lower = date;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);

    for (const embedded_file* record : every_record()) {
        SCOPED_TRACE(record->url);
        EXPECT_STREQ(record->modified, date);
        EXPECT_EQ(record->modified_lower, lower);
        // "Thu, 6 Mar 2025 8:05:09 GMT": day and hour without a leading zero
        std::string text = record->modified;
        ASSERT_GE(text.size(), 27u);
        ASSERT_LE(text.size(), 29u);
        EXPECT_EQ(text.substr(3, 2), ", ");
        EXPECT_EQ(text.substr(text.size() - 4), " GMT");
        EXPECT_NE(text[5], '0');
    }
}

// The pages name these ids, element names and functions; the assets must
// keep offering them.
TEST_F(BuiltinAssets, AssetsOfferWhatThePagesUse)
{
    struct promise {
        const char* url;
        const char* text;
    };
    const promise promises[] = {
        {"/quillnest/theme.css", "@media (prefers-color-scheme: dark)"},
        {"/quillnest/theme.css", ".qn_item:hover .qn_u"},
        {"/quillnest/theme.css", "md keyprep"},
        {"/quillnest/theme.css", "body.qn_md"},
        {"/quillnest/media.js", "getElementById(\"files\")"},
        {"/quillnest/media.js", "getElementsByName(\"links\")"},
        {"/quillnest/media.js", "getElementsByName(\"dates\")"},
        {"/quillnest/media.js", "g.eh.resize_iframe = function"},
        {"/quillnest/media.js", "g.theme.is_dark ="},
        {"/quillnest/media.js", "\".qn_icon { cursor: copy; }\""},
        {"/quillnest/media.js", "\".qn_icon:hover { filter: grayscale(1) brightness(0.5); }\""},
        {"/quillnest/lib-debug.js", "\"/quillnest/\""},
        {"/quillnest/lib-debug.js", "\"visual-test.htm\""},
        {"/quillnest/visual-test.htm", "<script type=\"text/javascript\" src=\"lib-debug.js\"></script>"},
    };
    for (const promise& p : promises) {
        const embedded_file* record = group_record(p.url);
        ASSERT_NE(record, nullptr) << p.url;
        EXPECT_NE(text_of(record).find(p.text), std::string::npos) << p.url << ": " << p.text;
    }
}

} // namespace
