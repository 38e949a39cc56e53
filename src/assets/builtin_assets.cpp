#include "assets/builtin_assets.h"

#include "assets/embedded_data.h"
#include "content/mime_types.h"
#include "core/text.h"

namespace {

// Every group member's url begins with this; the rest is its relative path.
constexpr char group_prefix[] = "/quillnest/";
constexpr uint64_t group_prefix_length = sizeof(group_prefix) - 1;

struct asset_source {
    const char16_t* wide_name;  // file name
    const char* url;            // full URL path
    int32_t mime_index;         // index into the MIME type table
    const unsigned char* data;  // the embedded bytes
    const unsigned int* length; // their count, byte-order mark included
};

// The group in ascending byte order of url (and so of relative path, behind
// the common prefix): the lookup bisects the relative paths in this order.
constexpr asset_source group_sources[builtin_asset_count] = {
    {u"0-default.png", "/quillnest/icon.16/0-default.png", mime_image_png,
     qn_file_icon16_default_png, &qn_file_icon16_default_png_size},
    {u"audio.png", "/quillnest/icon.16/audio.png", mime_image_png,
     qn_file_icon16_audio_png, &qn_file_icon16_audio_png_size},
    {u"g-folder-h.png", "/quillnest/icon.16/g-folder-h.png", mime_image_png,
     qn_file_icon16_folder_h_png, &qn_file_icon16_folder_h_png_size},
    {u"g-folder-v.png", "/quillnest/icon.16/g-folder-v.png", mime_image_png,
     qn_file_icon16_folder_v_png, &qn_file_icon16_folder_v_png_size},
    {u"img.png", "/quillnest/icon.16/img.png", mime_image_png,
     qn_file_icon16_img_png, &qn_file_icon16_img_png_size},
    {u"text.png", "/quillnest/icon.16/text.png", mime_image_png,
     qn_file_icon16_text_png, &qn_file_icon16_text_png_size},
    {u"video.png", "/quillnest/icon.16/video.png", mime_image_png,
     qn_file_icon16_video_png, &qn_file_icon16_video_png_size},
    {u"0-default.png", "/quillnest/icon.32/0-default.png", mime_image_png,
     qn_file_icon32_default_png, &qn_file_icon32_default_png_size},
    {u"audio.png", "/quillnest/icon.32/audio.png", mime_image_png,
     qn_file_icon32_audio_png, &qn_file_icon32_audio_png_size},
    {u"g-folder-h.png", "/quillnest/icon.32/g-folder-h.png", mime_image_png,
     qn_file_icon32_folder_h_png, &qn_file_icon32_folder_h_png_size},
    // the upright folder has one image, served under both sizes
    {u"g-folder-v.png", "/quillnest/icon.32/g-folder-v.png", mime_image_png,
     qn_file_icon16_folder_v_png, &qn_file_icon16_folder_v_png_size},
    {u"img.png", "/quillnest/icon.32/img.png", mime_image_png,
     qn_file_icon32_img_png, &qn_file_icon32_img_png_size},
    {u"text.png", "/quillnest/icon.32/text.png", mime_image_png,
     qn_file_icon32_text_png, &qn_file_icon32_text_png_size},
    {u"video.png", "/quillnest/icon.32/video.png", mime_image_png,
     qn_file_icon32_video_png, &qn_file_icon32_video_png_size},
    {u"lib-debug.js", "/quillnest/lib-debug.js", mime_application_javascript,
     qn_file_lib_debug_js, &qn_file_lib_debug_js_size},
    {u"media.js", "/quillnest/media.js", mime_application_javascript,
     qn_file_media_js, &qn_file_media_js_size},
    {u"theme.css", "/quillnest/theme.css", mime_text_css,
     qn_file_theme_css, &qn_file_theme_css_size},
    {u"visual-test.htm", "/quillnest/visual-test.htm", mime_text_html,
     qn_file_visual_test_htm, &qn_file_visual_test_htm_size},
};

constexpr bool in_group(const char* url)
{
    for (uint64_t i = 0; i < group_prefix_length; ++i) {
        if (url[i] != group_prefix[i]) return false;
    }
    return url[group_prefix_length] != 0;
}

constexpr bool group_sources_sorted()
{
    for (uint32_t i = 0; i < builtin_asset_count; ++i) {
        if (!in_group(group_sources[i].url)) return false;
        if (i > 0 && compare_units(group_sources[i - 1].url, group_sources[i].url) >= 0) return false;
    }
    return true;
}
static_assert(group_sources_sorted(), "the group's urls must share the prefix and ascend strictly");

struct path_table {
    const char* entries[builtin_asset_count]; // relative paths, ascending
};

constexpr path_table make_path_table()
{
    path_table table{};
    for (uint32_t i = 0; i < builtin_asset_count; ++i) {
        table.entries[i] = group_sources[i].url + group_prefix_length;
    }
    return table;
}

constexpr path_table relative_paths = make_path_table();

const char* last_segment(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/') name = p + 1;
    }
    return name;
}

// The byte-order mark decides the charset: 1 "utf-8", 2 "utf-16" (LE),
// 3 "utf-16be"; a file without one has none.
void set_text(embedded_file* record)
{
    const unsigned char* d = record->data;
    uint32_t n = record->length;
    uint32_t mark = 0;
    record->charset_index = 0;
    if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
        record->charset_index = 1;
        mark = 3;
    } else if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
        record->charset_index = 2;
        mark = 2;
    } else if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
        record->charset_index = 3;
        mark = 2;
    }
    record->text_length = n - mark;
    record->unit_count = record->text_length / 2;
    record->text = d + mark;
}

embedded_file make_record(const char16_t* wide_name, const char* url, uint64_t prefix_length,
                          int32_t mime_index, const unsigned char* data, uint32_t length)
{
    embedded_file record{};
    record.wide_name = wide_name;
    record.url = url;
    record.sort_key = url + 1;
    record.relative_path = url + prefix_length;
    record.file_name = last_segment(url);
    record.mime_index = mime_index;
    record.data = data;
    record.length = length;
    set_text(&record);
    return record;
}

struct record_set {
    embedded_file entries[builtin_asset_count]; // in the order of group_sources
};

record_set make_group_records()
{
    record_set set{};
    for (uint32_t i = 0; i < builtin_asset_count; ++i) {
        const asset_source& s = group_sources[i];
        set.entries[i] = make_record(s.wide_name, s.url, group_prefix_length, s.mime_index, s.data, *s.length);
    }
    return set;
}

// The embedded arrays are constant-initialised, so reading them while these
// records are built before main is safe.
record_set group_records = make_group_records();

// A group of its own below "/": its relative path is its url without the "/".
embedded_file favicon_record = make_record(u"quillnest.ico", "/quillnest.ico", 1, mime_image_x_icon,
                                           qn_file_favicon_ico, qn_file_favicon_ico_size);

// Start-up only and 18 entries: insertion sort keeps it short and stable.
void sort_group(embedded_file** group, uint32_t count)
{
    for (uint32_t i = 1; i < count; ++i) {
        embedded_file* moving = group[i];
        uint32_t j = i;
        while (j > 0 && compare_units(group[j - 1]->sort_key, moving->sort_key) > 0) {
            group[j] = group[j - 1];
            --j;
        }
        group[j] = moving;
    }
}

} // namespace

// Listed as the files are introduced (style sheet, scripts, test page, icons);
// start-up puts them in sort-key order.
embedded_file* g_builtin_assets[builtin_asset_count] = {
    &group_records.entries[16], &group_records.entries[15], &group_records.entries[14],
    &group_records.entries[17], &group_records.entries[0],  &group_records.entries[1],
    &group_records.entries[2],  &group_records.entries[3],  &group_records.entries[4],
    &group_records.entries[5],  &group_records.entries[6],  &group_records.entries[7],
    &group_records.entries[8],  &group_records.entries[9],  &group_records.entries[10],
    &group_records.entries[11], &group_records.entries[12], &group_records.entries[13],
};

void builtin_assets_init()
{
    char date[http_date_capacity] = {};
    build_date_text(date);
    for (embedded_file& record : group_records.entries) set_embedded_date(&record, date);
    set_embedded_date(&favicon_record, date);
    sort_group(g_builtin_assets, builtin_asset_count);
}

const embedded_file* find_builtin_asset(const char* relative_path)
{
    if (!relative_path) return nullptr;
    int64_t index = find_sorted(relative_paths.entries, builtin_asset_count, relative_path);
    return index < 0 ? nullptr : &group_records.entries[index];
}

const embedded_file* favicon_asset()
{
    return &favicon_record;
}
